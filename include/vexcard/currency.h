// Currency: a signed 64-bit fixed-point number with four decimals (the value × 10 000),
// the form in which money amounts, prices and quantities cross the host boundary and go
// to the terminal.
#pragma once

#include <cstdint>

namespace vexcard {

struct Currency {
  std::int64_t raw = 0;  // value × 10 000

  static constexpr Currency fromRaw(std::int64_t r) { return Currency{r}; }
  friend constexpr bool operator==(Currency a, Currency b) { return a.raw == b.raw; }
};
static_assert(sizeof(Currency) == 8);

}  // namespace vexcard
