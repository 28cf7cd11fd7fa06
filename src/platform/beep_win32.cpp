// The default warning sound of Windows.
#include <windows.h>

#include "platform/beep.h"

namespace vexcard::platform {

void warningBeep() { ::MessageBeep(0xFFFFFFFF); }

}  // namespace vexcard::platform
