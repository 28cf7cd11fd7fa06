// A small case runner for the Windows test programs (no test framework is cross-built):
// named cases, each failing with its first failed check, and the closing line
// "N passed, N failed".
#pragma once

#include <windows.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace vexcard::wintest {

// True when the program runs under Wine (its ntdll exports wine_get_version).
inline bool runningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// One case's verdict: the first failed check's text, or empty; a case may instead be
// skipped, with its reason, where the platform under it cannot show the behaviour.
struct Verdict {
  std::string failure;
  std::string skipped;
  void skip(const std::string& why) { skipped = why; }
  // Records the failure unless one is already recorded; returns ok.
  bool check(bool ok, const std::string& what) {
    if (!ok && failure.empty()) failure = what;
    return ok;
  }
};

template <class Context>
struct Case {
  const char* name;
  std::function<void(Context&, Verdict&)> run;
};

// Runs every case, prints one line per case and the closing line "N passed, N failed,
// N skipped"; returns the number of failed cases.
template <class Context>
int runCases(const std::vector<Case<Context>>& cases, Context& ctx) {
  int passed = 0, failed = 0, skipped = 0;
  for (const auto& c : cases) {
    Verdict v;
    try {
      c.run(ctx, v);
    } catch (const std::exception& e) {
      v.check(false, std::string("unexpected exception: ") + e.what());
    }
    if (v.failure.empty() && !v.skipped.empty()) {
      ++skipped;
      std::printf("SKIP  %s: %s\n", c.name, v.skipped.c_str());
    } else if (v.failure.empty()) {
      ++passed;
      std::printf("PASS  %s\n", c.name);
    } else {
      ++failed;
      std::printf("FAIL  %s: %s\n", c.name, v.failure.c_str());
    }
    std::fflush(stdout);
  }
  std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
  std::fflush(stdout);
  return failed;
}

}  // namespace vexcard::wintest
