// The Win32 platform and device test program, run under Wine by scripts/windows-test.
//
// Usage: vexcard_win32_tests [--no-line-reads] [N]
//   N  a COM port whose far end echoes every byte (tests/windows/pty_echo.py behind a
//      pseudo-terminal). Without N the device cases that need the line fail, so a run
//      without the peer never passes.
//   --no-line-reads  skip the cases that read the line (see Win32Context::lineReads).
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "win32_cases.h"

int main(int argc, char** argv) {
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  vexcard::wintest::Win32Context ctx;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-line-reads") == 0) {
      ctx.lineReads = false;
    } else {
      ctx.loopPort = static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10));
    }
  }
  std::vector<vexcard::wintest::Case<vexcard::wintest::Win32Context>> cases;
  vexcard::wintest::addPlatformCases(cases);
  vexcard::wintest::addDeviceCases(cases);
  return vexcard::wintest::runCases(cases, ctx) == 0 ? 0 : 1;
}
