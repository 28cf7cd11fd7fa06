// The product table: purse number 1..48 to the product code sent to the terminal and the
// product's name (Windows-1251; converted to the OEM code page only when sent).
//
// Rows 27 to 48 are the packaged motor oils of one brand. Their codes extend code 0x81
// ("Масла фас.", packaged oils): byte 1 is the oil group (grade and API class), byte 2
// the item within the group (container size). Codes repeat (rows 27 and 31, rows 30
// and 34): the table is looked up by row only, never by code.
//
// Constant data; thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexcard::driver {

struct TKodTovar {
  std::int32_t code = 0;
  std::string_view name;  // Windows-1251, static storage
};

inline constexpr std::int32_t kProductCount = 48;

// A copy of row p. Throws vexcard::Exception "Не указан код товара (кошелек = 0)" for 0
// and "Неверный код товара (кошелек = p)" for numbers outside 1..48 (some come from
// terminal replies).
TKodTovar ProductOfPurse(std::int32_t p);

}  // namespace vexcard::driver
