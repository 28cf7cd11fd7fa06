#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace vexcard {
namespace {

TEST(Codepage, LiteralBecomesWindows1251AtCompileTime) {
  constexpr std::string_view text = "СОМ Аи-92 ё№"_w1251;
  static_assert(text.size() == 12);

  EXPECT_EQ(std::string(text), std::string("\xD1\xCE\xCC \xC0\xE8-92 \xB8\xB9"));
}

TEST(Codepage, RoundTripsThroughUtf8) {
  const std::string cp = std::string("Команда выполнена"_w1251);
  EXPECT_EQ(cp1251ToUtf8(cp), "Команда выполнена");
  EXPECT_EQ(utf8ToCp1251("Команда выполнена"), cp);
  EXPECT_EQ(utf8ToCp1251("日本"), "??");
  EXPECT_EQ(cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");
}

TEST(Codepage, ProductNamesGoToCodePage866) {
  EXPECT_EQ(cp1251ToCp866("ДТ"_w1251), "\x84\x92");
  EXPECT_EQ(cp1251ToCp866("Аи-92"_w1251), "\x80\xA8-92");
  EXPECT_EQ(cp1251ToCp866("рстуфхцчшщъыьэюя"_w1251),
            "\xE0\xE1\xE2\xE3\xE4\xE5\xE6\xE7\xE8\xE9\xEA\xEB\xEC\xED\xEE\xEF");
  EXPECT_EQ(cp1251ToCp866("Ёё"_w1251), "\xF0\xF1");
  EXPECT_EQ(cp1251ToCp866("DTF"), "DTF");
}

}  // namespace
}  // namespace vexcard
