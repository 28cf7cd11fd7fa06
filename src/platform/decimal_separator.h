// The decimal separator of the user's number format, as log lines print numbers.
#pragma once

namespace vexcard::platform {

// The decimal separator the user has chosen: on Windows the one of the user's locale
// settings, read at each call so that a change takes effect at once; '.' on POSIX, where
// log lines follow the C locale. Thread-safe; never throws.
char decimalSeparator() noexcept;

}  // namespace vexcard::platform
