#include "platform/decimal_separator.h"

namespace vexcard::platform {

char decimalSeparator() noexcept { return '.'; }

}  // namespace vexcard::platform
