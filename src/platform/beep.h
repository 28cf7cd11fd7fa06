// The platform's default warning sound.
//
// Windows sounds the default beep and the call returns true. POSIX has no default warning
// sound: the call does nothing and returns false, and the caller writes the log line
// "BEEP" instead, so that the event still shows up in the log.
// Thread-safe; never throws.
#pragma once

namespace vexcard::platform {

// True when a sound was made.
bool warningBeep() noexcept;

}  // namespace vexcard::platform
