// Short strings of the shared runtime: a length byte and the characters in fixed space.
#include <algorithm>
#include <cstring>

#include "vexcard/runtime.h"

namespace vexcard {

std::size_t writeShortString(std::uint8_t* field, std::size_t size,
                             std::string_view text) noexcept {
  if (size == 0) return 0;
  const std::size_t kept = std::min({text.size(), size - 1, std::size_t{255}});
  field[0] = static_cast<std::uint8_t>(kept);
  if (kept > 0) std::memmove(field + 1, text.data(), kept);
  return kept;
}

std::string_view readShortString(const std::uint8_t* field, std::size_t size) noexcept {
  if (size == 0) return {};
  const std::size_t length = std::min<std::size_t>(field[0], size - 1);
  return {reinterpret_cast<const char*>(field + 1), length};
}

[[noreturn]] void raiseAbstractError() { throw EAbstractError("Abstract Error"); }

}  // namespace vexcard
