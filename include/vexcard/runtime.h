// The runtime that the driver shares with its host (the cash-desk program).
//
// Host and driver exchange long strings, variants, short strings, open arrays and 80-bit
// extended numbers directly, so both sides must agree on their representation. This
// header defines those representations and the operations on them:
//
//   LongStrHandle / LongString   reference-counted single-byte (Windows-1251) strings
//   Variant / ScopedVariant      the 16-byte variant record
//   ShortString<N>               a length byte and up to N-1 characters in fixed space
//   OpenArray<T>                 first-element pointer and highest index
//   Extended80                   the 10-byte x87 extended-precision number
//   formatGeneral                the general number format of log lines
//
// The abstract-method error is vexcard::EAbstractError (exception.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "vexcard/exception.h"

namespace vexcard {

// ---------------------------------------------------------------------------------------
// Long strings
//
// Memory layout of one string (one allocation):
//
//   offset -8  int32  reference count (atomic)
//   offset -4  int32  length in bytes, without the terminator
//   offset  0  char   the characters ...          <- the handle points here
//   offset  n  char   NUL terminator (not counted)
//
// The header is 8 bytes on 32- and 64-bit builds. The empty string has no allocation:
// its handle is null. A string with reference count 1 is owned by exactly one handle;
// the last release frees it. Strings are never changed in place once shared: assignment
// puts a new handle into the variable and releases the old one.
//
// A negative reference count marks a constant (a host's string literal, which its
// compiler lays out in read-only memory with count -1): adding and releasing references
// leave it untouched, and it is never freed.
//
// Memory: on Windows a string block is one allocation from the process heap
// (GetProcessHeap), starting at the header, so that any module of the process can free
// it with HeapFree(GetProcessHeap(), 0, handle - 8); elsewhere it comes from malloc.
//
// Thread safety: the reference count is atomic, so handles to one string may be added
// and released from any threads at once. A single handle variable is not protected:
// two threads must not assign the same variable concurrently.
// ---------------------------------------------------------------------------------------

// Raw handle: pointer-sized, points at the first character or is null (empty). This is
// the form a long string takes in records and argument lists at the host boundary.
using LongStrHandle = const char*;
static_assert(sizeof(LongStrHandle) == sizeof(void*));

// Creates a string with reference count 1; an empty text gives null. Throws
// std::length_error for a text longer than 2^31 - 16 bytes and std::bad_alloc when out
// of memory.
LongStrHandle longStrNew(std::string_view text);
// Adds one reference. Null and constants are ignored.
void longStrAddRef(LongStrHandle s) noexcept;
// Drops one reference and frees the string when it was the last. Null and constants are
// ignored.
void longStrRelease(LongStrHandle s) noexcept;
// The current reference count; 0 for null.
std::int32_t longStrRefCount(LongStrHandle s) noexcept;
// Length in bytes; 0 for null.
std::size_t longStrLength(LongStrHandle s) noexcept;
// The characters; an empty view for null. Valid while a reference is held.
std::string_view longStrView(LongStrHandle s) noexcept;
// dest := src: references src first, then releases what dest held (self-assignment safe).
void longStrAssign(LongStrHandle& dest, LongStrHandle src) noexcept;
// dest := a new string holding text (reference count 1); the old value is released.
void longStrAssign(LongStrHandle& dest, std::string_view text);

// Owning wrapper for C++ code: holds one reference and drops it when destroyed.
// Copies add a reference; moves hand the reference over. Same thread rules as above.
class LongString {
 public:
  LongString() noexcept = default;
  explicit LongString(std::string_view text) : h_(longStrNew(text)) {}
  LongString(const LongString& other) noexcept : h_(other.h_) { longStrAddRef(h_); }
  LongString(LongString&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  LongString& operator=(const LongString& other) noexcept {
    longStrAssign(h_, other.h_);
    return *this;
  }
  LongString& operator=(LongString&& other) noexcept {
    if (this != &other) {
      longStrRelease(h_);
      h_ = other.h_;
      other.h_ = nullptr;
    }
    return *this;
  }
  ~LongString() { longStrRelease(h_); }

  // Takes over a reference the caller already holds (for example one returned by
  // longStrNew or left in a record).
  static LongString adopt(LongStrHandle h) noexcept { return LongString(Adopt{}, h); }
  // Adds a reference of its own: the form of a string argument passed by value, which
  // is referenced at entry and released at exit.
  static LongString share(LongStrHandle h) noexcept {
    longStrAddRef(h);
    return LongString(Adopt{}, h);
  }

  LongStrHandle get() const noexcept { return h_; }
  // Gives up the reference without releasing it.
  LongStrHandle detach() noexcept {
    LongStrHandle h = h_;
    h_ = nullptr;
    return h;
  }
  std::string_view view() const noexcept { return longStrView(h_); }
  std::string str() const { return std::string(view()); }
  std::size_t size() const noexcept { return longStrLength(h_); }
  bool empty() const noexcept { return h_ == nullptr; }
  std::int32_t refCount() const noexcept { return longStrRefCount(h_); }

 private:
  // A tag, so that LongString("text") can never bind to the handle form (a handle is a
  // const char* too).
  struct Adopt {};
  LongString(Adopt, LongStrHandle h) noexcept : h_(h) {}
  LongStrHandle h_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Variants
//
// 16 bytes on 32- and 64-bit builds: a 16-bit type code at offset 0, six reserved bytes,
// and the value at offset 8 (a 32-bit integer, a double or a long string handle). A
// variant of type kString owns one reference to its string.
// ---------------------------------------------------------------------------------------

enum class VarType : std::uint16_t {
  kEmpty = 0x0000,
  kNull = 0x0001,
  kInteger = 0x0003,  // signed 32-bit
  kDouble = 0x0005,
  kString = 0x0100,  // long string handle, one reference owned by the variant
};

struct Variant {
  std::uint16_t type;  // a VarType
  std::uint16_t reserved1;
  std::uint16_t reserved2;
  std::uint16_t reserved3;
  union Value {
    std::int32_t integer;
    double dbl;
    LongStrHandle str;
    std::uint8_t raw[8];
  } value;

  VarType varType() const noexcept { return static_cast<VarType>(type); }
};
static_assert(sizeof(Variant) == 16);
static_assert(offsetof(Variant, value) == 8);

Variant variantEmpty() noexcept;
Variant variantNull() noexcept;
Variant variantFromInt(std::int32_t v) noexcept;
Variant variantFromDouble(double v) noexcept;
// A string variant with a new string (reference count 1; an empty text gives a null
// handle of type kString).
Variant variantFromString(std::string_view text);
// Adds the references a bitwise copy of v needs (copy semantics for the held string).
void variantAddRef(const Variant& v) noexcept;
// Releases what v holds and leaves it kEmpty. Types other than kString hold nothing to
// release; every type is cleared.
void variantClear(Variant& v) noexcept;
// dest := src with copy semantics; the old value of dest is cleared (self-copy safe).
void variantCopy(Variant& dest, const Variant& src) noexcept;

// A variant argument passed by value: references its contents at entry and clears its
// own copy at exit.
class ScopedVariant {
 public:
  explicit ScopedVariant(const Variant& v) noexcept : v_(v) { variantAddRef(v_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  ~ScopedVariant() { variantClear(v_); }
  const Variant& get() const noexcept { return v_; }

 private:
  Variant v_;
};

// ---------------------------------------------------------------------------------------
// Short strings: a length byte followed by that many single-byte characters, in a field of
// fixed size. A field of `size` bytes holds up to min(size - 1, 255) characters; longer
// texts are cut to it. Writing sets the length byte and the characters and leaves the
// bytes after the text as they were.
// ---------------------------------------------------------------------------------------

// Writes text into the field; returns the number of characters kept. A field of size 0
// is left alone.
std::size_t writeShortString(std::uint8_t* field, std::size_t size, std::string_view text) noexcept;
// Reads the field; a length byte larger than the field allows is cut to the field.
std::string_view readShortString(const std::uint8_t* field, std::size_t size) noexcept;

template <std::size_t N>
struct ShortString {
  static_assert(N >= 1 && N <= 256,
                "a short string field holds a length byte and 0..255 characters");
  std::uint8_t bytes[N];

  static constexpr std::size_t capacity() { return N - 1; }
  std::size_t set(std::string_view text) noexcept { return writeShortString(bytes, N, text); }
  std::string_view view() const noexcept { return readShortString(bytes, N); }
  std::uint8_t length() const noexcept { return bytes[0]; }
};

// ---------------------------------------------------------------------------------------
// Open arrays: the address of the first element and the highest index (count - 1), so
// an empty array has highest index -1 (its address may then be null). At the host
// boundary they travel as two arguments in that order.
// ---------------------------------------------------------------------------------------

template <class T>
struct OpenArray {
  T* data;
  std::int32_t high;

  // Number of elements; a highest index below -1 (malformed) counts as empty.
  std::size_t count() const noexcept {
    return (high < 0 || data == nullptr) ? 0 : static_cast<std::size_t>(high) + 1;
  }
  std::span<T> span() const noexcept { return std::span<T>(data, count()); }

  static OpenArray of(std::span<T> s) noexcept {
    return OpenArray{s.empty() ? nullptr : s.data(), static_cast<std::int32_t>(s.size()) - 1};
  }
};

// ---------------------------------------------------------------------------------------
// 80-bit extended precision (x87 format), 10 bytes little-endian: bits 0-63 the
// significand with an explicit integer bit (bit 63), bits 64-78 the exponent (bias
// 16383), bit 79 the sign. Decoding does not assume that long double is this format.
// ---------------------------------------------------------------------------------------

struct Extended80 {
  std::uint8_t bytes[10];
};
static_assert(sizeof(Extended80) == 10);

// Decodes the value. Exponent 0x7FFF gives an infinity when the fraction bits are zero
// and the integer bit is set, NaN otherwise. Unnormal forms (integer bit clear with a
// non-zero exponent) are decoded by their arithmetic value. Where long double is
// narrower than 80 bits the result is rounded to it (out of range: infinity or zero).
long double extendedToLongDouble(const Extended80& x) noexcept;
// The same, rounded to double (out of double range: infinity or zero).
double extendedToDouble(const Extended80& x) noexcept;
// Encodes v (NaN as the quiet default NaN, signed zeros and infinities kept).
Extended80 extendedFromLongDouble(long double v) noexcept;

// ---------------------------------------------------------------------------------------
// General number format of log lines: up to 15 significant digits, trailing zeros
// dropped. Fixed notation when the decimal exponent (of the value rounded to 15 digits)
// lies between -5 and 14, that is from 0.00001 up to 15 integer digits; otherwise
// scientific as in "1.5E20", "1E-6", "-2.5E-7" (the exponent carries a sign only when it
// is negative and has no leading zeros). Zero, negative zero included, prints "0"; NaN
// and infinities print "NAN", "INF" and "-INF". The result is ASCII apart from the
// decimal separator, which the caller chooses. The long double form rounds a quotient kept
// in extended precision straight to 15 digits, without passing through a double.
// ---------------------------------------------------------------------------------------
std::string formatGeneral(double value, char decimalSeparator = '.');
std::string formatGeneral(long double value, char decimalSeparator = '.');

// Raises the runtime's abstract-method error (EAbstractError).
[[noreturn]] void raiseAbstractError();

}  // namespace vexcard
