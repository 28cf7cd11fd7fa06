// The terminal's thirteen commands: code, name, request size and the reply body the link's
// callers read. The link lays its requests out by it and the log decoder names and checks
// the requests and replies of a log by it. (The terminal simulator keeps its own table on
// purpose: it is the independent cross-check of this one.)
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vexcard::link {

struct CommandInfo {
  std::uint8_t code;
  std::string_view name;
  // Request bytes, the code included.
  std::uint8_t requestSize;
  // Reply body bytes that callers read after a good reply: 3 where only the reply code
  // (byte 2) is read. (A reply with code 0x81 also carries the terminal's shift in byte 4,
  // whatever the command.)
  std::uint8_t replySize;
};

inline constexpr CommandInfo kTsReset{0x00, "tsReset", 2, 3};
inline constexpr CommandInfo kTsCloseSession{0x01, "tsCloseSession", 1, 3};
inline constexpr CommandInfo kTsOpenShift{0x03, "tsOpenShift", 14, 3};
inline constexpr CommandInfo kTsCloseShift{0x04, "tsCloseShift", 1, 3};
inline constexpr CommandInfo kTsResumeShift{0x05, "tsResumeShift", 1, 3};
// Byte 11: the purse handle.
inline constexpr CommandInfo kTsSelectPurse{0x06, "tsSelectPurse", 2, 12};
// Bytes 11..14: the quantity the card allows.
inline constexpr CommandInfo kTsQueryQuantity{0x07, "tsQueryQuantity", 26, 15};
// Bytes 11..22: three money values; 23..101: the card block.
inline constexpr CommandInfo kTsSale{0x08, "tsSale", 32, 102};
inline constexpr CommandInfo kTsRefund{0x09, "tsRefund", 111, 3};
// Bytes 11..14: the balance; 23..32: the card number in BCD; 33, 34: the status bytes.
inline constexpr CommandInfo kTsReadCard{0x0A, "tsReadCard", 1, 35};
// Byte 11: the card's purse for the product.
inline constexpr CommandInfo kTsQueryPurse{0x0B, "tsQueryPurse", 18, 12};
inline constexpr CommandInfo kTsRefundReset{0x0D, "tsRefundReset", 111, 3};
// As tsSale.
inline constexpr CommandInfo kTsDebit{0x0E, "tsDebit", 26, 102};

inline constexpr std::array<CommandInfo, 13> kTerminalCommands{
    kTsReset,       kTsCloseSession,  kTsOpenShift, kTsCloseShift, kTsResumeShift,
    kTsSelectPurse, kTsQueryQuantity, kTsSale,      kTsRefund,     kTsReadCard,
    kTsQueryPurse,  kTsRefundReset,   kTsDebit};

// The command with this code, or null.
constexpr const CommandInfo* findCommand(std::uint8_t code) {
  for (const CommandInfo& c : kTerminalCommands) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

}  // namespace vexcard::link
