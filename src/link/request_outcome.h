// How a request to the terminal ended, as far as the driver can know. Every exchange a
// caller issued ends in exactly one of these, decided once where the exchange ends:
//  - done: the caller's own good reply with reply code 0;
//  - refused: the caller's own good reply with a non-zero reply code, no earlier attempt
//    having gone out without a good reply or "N";
//  - not carried out: the frame never reached the line (no hand-shake answer in any
//    attempt, a write that failed before a byte went out), or every attempt whose frame
//    went out was refused with "N" or answered with a code that says the command was not
//    taken (shifts out of step, previous command still running);
//  - unknown: the frame went out and some attempt got neither a good reply nor "N" (a
//    time-out, a spoiled reply: the terminal may have carried it out), even when a later
//    attempt was refused; or the reply was a final 0x01 (accepted, still executing), or the
//    exchange was stopped in the middle.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/command_table.h"

namespace vexcard::link {

enum class RequestOutcome : std::uint8_t { kDone, kRefused, kNotCarriedOut, kUnknown };

// "done", "refused", "not carried out", "unknown".
constexpr std::string_view outcomeName(RequestOutcome outcome) {
  switch (outcome) {
    case RequestOutcome::kDone:
      return "done";
    case RequestOutcome::kRefused:
      return "refused";
    case RequestOutcome::kNotCarriedOut:
      return "not carried out";
    case RequestOutcome::kUnknown:
      return "unknown";
  }
  return "unknown";
}

// The commands that move money: tsSale, tsRefund, tsRefundReset and tsDebit.
constexpr bool isMoneyCommand(std::uint8_t code) {
  return code == kTsSale.code || code == kTsRefund.code || code == kTsRefundReset.code ||
         code == kTsDebit.code;
}

}  // namespace vexcard::link
