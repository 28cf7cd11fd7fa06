// The cases of the Win32 platform and device test program (win32_test.cpp).
#pragma once

#include <vector>

#include "check.h"

namespace vexcard::wintest {

struct Win32Context {
  unsigned loopPort = 0;  // a COM port whose line echoes every byte; 0 when none is given
  // False where reading the line cannot be tried: under 32-bit Wine run by the qemu-i386
  // emulator, whose process dies (SIGSEGV) at the first ReadFile on a serial device.
  bool lineReads = true;
};

void addPlatformCases(std::vector<Case<Win32Context>>& cases);
void addDeviceCases(std::vector<Case<Win32Context>>& cases);

}  // namespace vexcard::wintest
