// The card operations' reading of a reply body (ReplyData as the exchange leaves it): the
// reply code and its text, the three money values, the card number digits, the card block
// and the gross amount of a sale. Whatever the terminal sent, each either gives a value in
// its range or throws vexcard::Exception with a message, never anything else.
//
// Input: the reply body from byte 0 on (the rest of the buffer stays 0, as after a short
// reply into a fresh driver).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "driver/card_ops.h"
#include "fuzz_check.h"
#include "link/status_texts.h"
#include "vexcard/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzzcheck::check;
  namespace ops = vexcard::driver::ops;
  ops::Reply reply;
  std::copy_n(data, std::min(size, reply.body.size()), reply.body.begin());

  check(!vexcard::link::ReplyCodeText(reply.code()).empty());
  std::uint8_t status = 0xFF;
  bool refused = false;
  try {
    ops::takeReplyCode(reply, status);
  } catch (const vexcard::Exception& e) {
    refused = true;
    check(*e.what() != '\0');
  }
  check(status == reply.code() && refused == (reply.code() != 0));

  for (std::size_t at : {ops::kMoney1At, ops::kMoney2At, ops::kMoney3At}) {
    try {
      const double money = reply.moneyAt(at);
      check(std::isfinite(money) && money >= 0);
      check(reply.currencyAt(at).raw >= 0);
    } catch (const vexcard::Exception& e) {
      check(*e.what() != '\0');
    }
  }
  try {
    check(ops::saleGrossRaw(reply) > 0);
  } catch (const vexcard::Exception& e) {
    check(*e.what() != '\0');
  }
  check(reply.cardDigits().size() == 2 * ops::kCardNumberSize);
  const auto block = reply.cardBlock();
  check(std::equal(block.begin(), block.end(), reply.body.begin() + ops::kCardBlockAt));
  return 0;
}
