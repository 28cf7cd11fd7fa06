// The default warning sound of Windows.
#include <windows.h>

#include "platform/beep.h"

namespace vexcard::platform {

bool warningBeep() noexcept {
  ::MessageBeep(0xFFFFFFFF);
  return true;
}

}  // namespace vexcard::platform
