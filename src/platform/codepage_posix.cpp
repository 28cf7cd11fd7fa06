#include "platform/codepage.h"

namespace vexcard {

std::string ansiToOem(std::string_view cp1251) { return cp1251ToCp866(cp1251); }

}  // namespace vexcard
