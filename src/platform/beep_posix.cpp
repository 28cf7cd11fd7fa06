// POSIX has no default warning sound; the beep becomes a log line (see beep.h).
#include "logging/logger.h"
#include "platform/beep.h"

namespace vexcard::platform {

void warningBeep() { logging::WriteLog(1, "BEEP"); }

}  // namespace vexcard::platform
