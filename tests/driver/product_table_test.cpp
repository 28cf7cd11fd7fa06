#include "driver/product_table.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::driver {
namespace {

std::string errorOf(std::int32_t purse) {
  try {
    ProductOfPurse(purse);
  } catch (const Exception& e) {
    return cp1251ToUtf8(e.message());
  }
  return "no error";
}

TEST(ProductTable, FuelRowsByPurseNumber) {
  EXPECT_EQ(ProductOfPurse(2).code, 2);
  EXPECT_EQ(ProductOfPurse(2).name, "\xC4\xD2");  // ДТ
  EXPECT_EQ(ProductOfPurse(4).name, "DTF");       // Latin letters
  EXPECT_EQ(ProductOfPurse(19).code, 92);
  EXPECT_EQ(ProductOfPurse(19).name, "\xC0\xE8-92");  // Аи-92
  EXPECT_EQ(ProductOfPurse(1).code, 0x01);
  EXPECT_EQ(cp1251ToUtf8(ProductOfPurse(1).name), "Масло");
  EXPECT_EQ(ProductOfPurse(11).code, 50);
  EXPECT_EQ(cp1251ToUtf8(ProductOfPurse(11).name), "У.-спирит");
  EXPECT_EQ(ProductOfPurse(25).code, 0x80);
  EXPECT_EQ(cp1251ToUtf8(ProductOfPurse(25).name), "ТМ-4");
  EXPECT_EQ(ProductOfPurse(26).code, 0x81);
  EXPECT_EQ(cp1251ToUtf8(ProductOfPurse(26).name), "Масла фас.");
}

TEST(ProductTable, PackagedOilCodesAndSharedRows) {
  const std::int32_t codes[] = {0x10181, 0x20181, 0x30181, 0x40281, 0x10181, 0x20281,
                                0x30281, 0x40281, 0x50281, 0x60281, 0x70281, 0x10381,
                                0x20381, 0x30381, 0x40381, 0x50381, 0x60381, 0x70381,
                                0x80381, 0x90381, 0xA0381, 0xB0381};
  for (std::int32_t row = 27; row <= 48; ++row) {
    EXPECT_EQ(ProductOfPurse(row).code, codes[row - 27]) << row;
  }
  EXPECT_EQ(ProductOfPurse(27).name, ProductOfPurse(31).name);
  EXPECT_EQ(ProductOfPurse(30).name, ProductOfPurse(34).name);

  // One code, one product: rows that share a code share a name, and no two codes share
  // a name. Every name is a readable Windows-1251 text.
  std::map<std::int32_t, std::string_view> nameOfCode;
  std::map<std::string_view, std::int32_t> codeOfName;
  for (std::int32_t row = 1; row <= kProductCount; ++row) {
    const TKodTovar p = ProductOfPurse(row);
    ASSERT_FALSE(p.name.empty()) << row;
    EXPECT_EQ(utf8ToCp1251(cp1251ToUtf8(p.name)), p.name) << row;
    EXPECT_EQ(nameOfCode.emplace(p.code, p.name).first->second, p.name) << row;
    EXPECT_EQ(codeOfName.emplace(p.name, p.code).first->second, p.code) << row;
  }
}

TEST(ProductTable, RefusesPursesWithoutARow) {
  EXPECT_EQ(errorOf(0), "Не указан код товара (кошелек = 0)");
  EXPECT_EQ(errorOf(49), "Неверный код товара (кошелек = 49)");
  EXPECT_EQ(errorOf(60), "Неверный код товара (кошелек = 60)");
  EXPECT_EQ(errorOf(-1), "Неверный код товара (кошелек = -1)");
  EXPECT_EQ(errorOf(INT32_MIN), "Неверный код товара (кошелек = -2147483648)");
  EXPECT_NO_THROW(ProductOfPurse(48));
}

}  // namespace
}  // namespace vexcard::driver
