// POSIX has no default warning sound (see beep.h).
#include "platform/beep.h"

namespace vexcard::platform {

bool warningBeep() noexcept { return false; }

}  // namespace vexcard::platform
