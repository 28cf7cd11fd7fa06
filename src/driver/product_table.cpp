#include "driver/product_table.h"

#include <array>
#include <string>

#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::driver {

using namespace vexcard::literals;

namespace {

// Packaged oil code: 0x81, oil group in byte 1, item in byte 2.
constexpr std::int32_t oil(std::int32_t group, std::int32_t item) {
  return 0x81 + group * 0x100 + item * 0x10000;
}

// Oil groups: 1 mineral 15W40 API SF; 2 semi-synthetic 10W40 API SJ; 3 synthetic API SL
// (items 1..6 5W30, items 7..11 5W40). Items run through the container sizes in order.
constexpr std::array<TKodTovar, kProductCount> kProducts = {{
    {0x01, "Масло"_w1251},
    {0x02, "ДТ"_w1251},
    {0x03, "Керосин"_w1251},
    {0x04, "DTF"_w1251},  // Latin letters
    {0x05, "ДТ Экстра"_w1251},
    {0x06, "ДТЗ"_w1251},
    {0x07, "ДТЛ-05"_w1251},
    {0x0A, "М10Г2К"_w1251},
    {0x0C, "М10В2С"_w1251},
    {0x0D, "М-8В"_w1251},
    {0x32, "У.-спирит"_w1251},
    {0x33, "Газ"_w1251},
    {0x48, "А-72"_w1251},
    {0x4B, "А-76эт"_w1251},
    {0x4C, "А-76"_w1251},
    {0x50, "А-80"_w1251},
    {0x51, "Аи-80"_w1251},
    {0x5B, "Аи-91"_w1251},
    {0x5C, "Аи-92"_w1251},
    {0x5D, "Аи-93"_w1251},
    {0x5F, "Аи-95"_w1251},
    {0x60, "А-95Е"_w1251},
    {0x62, "А-98"_w1251},
    {0x63, "А-98Е"_w1251},
    {0x80, "ТМ-4"_w1251},
    {0x81, "Масла фас."_w1251},
    {oil(1, 1), "Ордакс 15W40 SF 1л"_w1251},    // 27
    {oil(1, 2), "Ордакс 15W40 SF 4л"_w1251},    // 28
    {oil(1, 3), "Ордакс 15W40 SF 5л"_w1251},    // 29
    {oil(2, 4), "Ордакс 10W40 SJ 5л"_w1251},    // 30
    {oil(1, 1), "Ордакс 15W40 SF 1л"_w1251},    // 31, the same item as row 27
    {oil(2, 2), "Ордакс 10W40 SJ 1л"_w1251},    // 32
    {oil(2, 3), "Ордакс 10W40 SJ 4л"_w1251},    // 33
    {oil(2, 4), "Ордакс 10W40 SJ 5л"_w1251},    // 34, the same item as row 30
    {oil(2, 5), "Ордакс 10W40 SJ 10л"_w1251},   // 35
    {oil(2, 6), "Ордакс 10W40 SJ 50л"_w1251},   // 36
    {oil(2, 7), "Ордакс 10W40 SJ 200л"_w1251},  // 37
    {oil(3, 1), "Ордакс 5W30 SL 1л"_w1251},     // 38
    {oil(3, 2), "Ордакс 5W30 SL 4л"_w1251},     // 39
    {oil(3, 3), "Ордакс 5W30 SL 5л"_w1251},     // 40
    {oil(3, 4), "Ордакс 5W30 SL 10л"_w1251},    // 41
    {oil(3, 5), "Ордакс 5W30 SL 50л"_w1251},    // 42
    {oil(3, 6), "Ордакс 5W30 SL 200л"_w1251},   // 43
    {oil(3, 7), "Ордакс 5W40 SL 1л"_w1251},     // 44
    {oil(3, 8), "Ордакс 5W40 SL 4л"_w1251},     // 45
    {oil(3, 9), "Ордакс 5W40 SL 5л"_w1251},     // 46
    {oil(3, 10), "Ордакс 5W40 SL 10л"_w1251},   // 47
    {oil(3, 11), "Ордакс 5W40 SL 200л"_w1251},  // 48
}};

static_assert(kProducts[26].code == 0x10181 && kProducts[29].code == 0x40281 &&
              kProducts[30].code == 0x10181 && kProducts[33].code == 0x40281 &&
              kProducts[37].code == 0x10381 && kProducts[47].code == 0xB0381);

}  // namespace

TKodTovar ProductOfPurse(std::int32_t p) {
  if (p == 0) throw Exception(std::string("Не указан код товара (кошелек = 0)"_w1251));
  if (p < 1 || p > kProductCount) {
    throw Exception(std::string("Неверный код товара (кошелек = "_w1251) + std::to_string(p) + ")");
  }
  return kProducts[static_cast<std::size_t>(p - 1)];
}

}  // namespace vexcard::driver
