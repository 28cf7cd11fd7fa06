// The user's decimal separator, as the host runtime reads it for its number formats.
#include <windows.h>

#include "platform/decimal_separator.h"

namespace vexcard::platform {

char decimalSeparator() noexcept {
  char text[4] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, text, sizeof text) < 2) return '.';
  return text[0];
}

}  // namespace vexcard::platform
