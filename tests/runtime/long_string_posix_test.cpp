#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "vexcard/runtime.h"

namespace vexcard {
namespace {

// A host's string literal: count -1, then length and text, on a page the process may only
// read, as the host's compiler lays it out. Any write to it would kill the test.
TEST(LongStringConstant, ReferencingAndReleasingNeverWriteIt) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* mem = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  const std::int32_t header[2] = {-1, 5};
  std::memcpy(mem, header, sizeof header);
  std::memcpy(static_cast<char*>(mem) + sizeof header, "fuel", 5);
  ASSERT_EQ(::mprotect(mem, page, PROT_READ), 0);
  const LongStrHandle literal = static_cast<const char*>(mem) + sizeof header;

  longStrAddRef(literal);
  longStrRelease(literal);
  longStrRelease(literal);  // even more releases than references: still a constant
  {
    const LongString held = LongString::share(literal);  // a by-value argument
    LongString copy = held;
    LongStrHandle field = nullptr;
    longStrAssign(field, literal);
    longStrAssign(field, std::string_view("other"));
    longStrRelease(field);
    Variant v{};
    v.type = static_cast<std::uint16_t>(VarType::kString);
    v.value.str = literal;
    const ScopedVariant scoped(v);
  }
  EXPECT_EQ(longStrRefCount(literal), -1);
  EXPECT_EQ(longStrView(literal), std::string_view("fuel\0", 5));
  ::munmap(mem, page);
}

}  // namespace
}  // namespace vexcard
