// The 16-byte variant record of the shared runtime.
#include <cstring>

#include "vexcard/runtime.h"

namespace vexcard {
namespace {

Variant ofType(VarType t) noexcept {
  Variant v;
  std::memset(&v, 0, sizeof v);
  v.type = static_cast<std::uint16_t>(t);
  return v;
}

}  // namespace

Variant variantEmpty() noexcept { return ofType(VarType::kEmpty); }

Variant variantNull() noexcept { return ofType(VarType::kNull); }

Variant variantFromInt(std::int32_t value) noexcept {
  Variant v = ofType(VarType::kInteger);
  v.value.integer = value;
  return v;
}

Variant variantFromDouble(double value) noexcept {
  Variant v = ofType(VarType::kDouble);
  v.value.dbl = value;
  return v;
}

Variant variantFromString(std::string_view text) {
  Variant v = ofType(VarType::kString);
  v.value.str = longStrNew(text);
  return v;
}

void variantAddRef(const Variant& v) noexcept {
  if (v.varType() == VarType::kString) longStrAddRef(v.value.str);
}

void variantClear(Variant& v) noexcept {
  if (v.varType() == VarType::kString) longStrRelease(v.value.str);
  v = variantEmpty();
}

void variantCopy(Variant& dest, const Variant& src) noexcept {
  variantAddRef(src);  // first, so that copying a variant onto itself keeps the string
  Variant old = dest;
  dest = src;
  variantClear(old);
}

}  // namespace vexcard
