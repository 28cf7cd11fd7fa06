// The platform's default warning sound.
//
// Windows sounds the default beep. POSIX has no default warning sound: there the call
// writes the log line "BEEP" instead, so that the event still shows up in the log.
// Thread-safe; never throws.
#pragma once

namespace vexcard::platform {

void warningBeep();

}  // namespace vexcard::platform
