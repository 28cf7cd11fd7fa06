// Command bytes of the terminal's requests, laid out by hand for the simulator's tests, and
// readers of reply money fields. Money is written with exponent 0xFE (hundredths).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vexcard::simtest {

using Bytes = std::vector<std::uint8_t>;

inline void putMoney(Bytes& b, std::size_t at, std::uint32_t hundredths) {
  b[at] = 0xFE;
  b[at + 1] = static_cast<std::uint8_t>(hundredths);
  b[at + 2] = static_cast<std::uint8_t>(hundredths >> 8);
  b[at + 3] = static_cast<std::uint8_t>(hundredths >> 16);
}

inline void putInt32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// The mantissa of a money field written with exponent 0xFE; -1 for another exponent.
inline std::int64_t moneyAt(const Bytes& body, std::size_t at) {
  if (body.size() < at + 4 || body[at] != 0xFE) return -1;
  return body[at + 1] | (body[at + 2] << 8) | (body[at + 3] << 16);
}

inline Bytes queryPurseCmd(std::uint8_t handle, std::uint32_t product) {
  Bytes b(18, 0);
  b[0] = 0x0B;
  b[1] = handle;
  putInt32(b, 2, product);
  return b;
}

// tsQueryQuantity (0x07) and tsDebit (0x0E) share one layout.
inline Bytes quantityCmd(std::uint8_t code, std::uint8_t first, std::uint32_t product,
                         std::uint32_t price, std::uint32_t qty) {
  Bytes b(26, 0);
  b[0] = code;
  b[1] = first;
  putInt32(b, 2, product);
  putMoney(b, 18, price);
  putMoney(b, 22, qty);
  return b;
}

inline Bytes saleCmd(std::uint16_t txn, std::uint32_t product, std::uint32_t price,
                     std::uint32_t qty) {
  Bytes b(32, 0);
  b[0] = 0x08;
  b[1] = static_cast<std::uint8_t>(txn);
  b[2] = static_cast<std::uint8_t>(txn >> 8);
  b[3] = 1;
  putInt32(b, 4, product);
  b[8] = 'T';
  putMoney(b, 20, price);
  putMoney(b, 24, qty);
  putInt32(b, 28, 0x56584344);
  return b;
}

// tsRefund (0x09) or tsRefundReset (0x0D) of a sale, carrying block (79 bytes).
// The sale request with its code replaced and the block after it, cut or filled with zeros
// to 111 bytes. Copied into a buffer of its final size: appending to a copy of the sale
// sets off a false -Warray-bounds in GCC 12 at -O3.
inline Bytes refundCmd(std::uint8_t code, const Bytes& sale, const Bytes& block) {
  Bytes b(111, 0);
  const std::size_t head = std::min(sale.size(), b.size());
  std::copy_n(sale.begin(), head, b.begin());
  b[0] = code;
  std::copy_n(block.begin(), std::min(block.size(), b.size() - head), b.begin() + head);
  return b;
}

inline Bytes openShiftCmd(std::uint8_t shift) {
  return {0x03, 7, 3, 5, 14, 7, 9, 7, 3, 5, 8, 0, 0, shift};
}

}  // namespace vexcard::simtest
