// The subcommands of the sale and refund operations.
#include <array>

#include "cli/command_options.h"
#include "cli/records.h"
#include "cli/text_util.h"
#include "driver/card_ops.h"
#include "driver/product_table.h"
#include "link/wire_values.h"

namespace vexcard::cli {

namespace {

struct Line {
  std::uint8_t purse;
  double qty, sum;
};

Line lineOptions(const ParsedArgs& a) {
  const std::uint8_t purse = purseOption(a);
  const LineFigures figures = lineFiguresOption(a);
  return Line{purse, figures.qty, figures.sum};
}

// A money figure as the terminal receives it: in whole hundredths.
double asSent(Currency amount) {
  return link::toDouble(link::DecodeMoney(link::EncodeMoney(amount)));
}

// What a sale or refund line sends: the product, the quantity and the unit price sum / qty
// as they go out, beside the sum the host gave.
Report lineRequest(const Line& line) {
  const driver::TKodTovar product = driver::ProductOfPurse(line.purse);
  const driver::ops::SaleFigures figures = driver::ops::saleFigures(line.qty, line.sum);
  Report r;
  r.integer("purse", "Purse", line.purse,
            utf8(product.name) + ", product code " + std::to_string(product.code));
  r.text("product", "", utf8(product.name)).integer("product_code", "", product.code);
  r.money("qty", "Quantity", asSent(figures.quantity));
  r.money("sum", "Sum", line.sum, "the line's amount");
  r.money("price", "Unit price", asSent(figures.price), "sum / quantity, as sent");
  return r;
}

// The card block a refund sends: the one given, or with --block last the latest sale's.
// Empty when --block last finds none.
std::vector<std::uint8_t> refundBlock(const Session& s, const std::vector<std::uint8_t>& given,
                                      bool last) {
  return last ? s.lastBlock() : given;
}

// The step of an operation not called because --block last has no sale to refer to.
Step noLastSale(const char* operation, int slot, Report request) {
  Step step{operation, slot, {}, std::nullopt, MoneyOutcome::kNone, {}};
  step.error =
      "--block last: no sale of this run (nor of the --sim-state file) handed out a card block";
  step.request = std::move(request);
  return step;
}

// The block and the card it names: its first ten bytes are the sale's card number in BCD.
void addBlock(Report& request, const std::vector<std::uint8_t>& block, bool last) {
  std::string card;
  for (std::size_t i = 0; i < 10 && i < block.size(); ++i) card += link::BcdToDigits(block[i]);
  request.text("block_card", "Sale's card", card, "from the card block");
  request.text("block", "Card block", hexString(block),
               last ? "the latest sale's: --block last" : "");
}

// The share of the line's sum not charged, beside the terminal's figures of a sale.
// It goes before the card block, which stays last.
void addDiscount(Report& r, const Line& line, double charged) {
  Report d;
  d.money("discount", "Discount", line.sum - charged, "sum minus SummaSk");
  auto at = r.fields.end();
  if (!r.fields.empty() && r.fields.back().key == "card_block") --at;
  r.fields.insert(at, std::move(d.fields.front()));
}

PreparedCall prepareSale(const ParsedArgs& a) {
  const Line line = lineOptions(a);
  return [line](Session& s) {
    TSaleResult result{};
    Step step = callSlot(
        "SubSchet", 4,
        [&] { s.slots().SubSchet(&result, s.object(), line.purse, line.qty, line.sum); },
        [&] { return saleResultReport(result); });
    step.request = lineRequest(line);
    return Outcome{{std::move(step)}};
  };
}

PreparedCall prepareNonCashSale(const ParsedArgs& a) {
  const Line line = lineOptions(a);
  const std::uint8_t requestByte = *byteOption(a, "request-byte", 1);
  return [line, requestByte](Session& s) {
    TSaleResultEx result{};
    bool sold = false;
    Step step = callSlot(
        "SubSchetEx", 12,
        [&] {
          s.slots().SubSchetEx(&result, s.object(), requestByte, line.purse, line.qty, line.sum);
          sold = true;
        },
        [&] {
          Report r = saleResultExReport(result);
          if (sold) addDiscount(r, line, result.SummaSk);
          return r;
        });
    if (sold) s.setLastBlock({std::begin(result.CardBlock), std::end(result.CardBlock)});
    step.request = lineRequest(line);
    step.request.integer("request_byte", "Request byte", requestByte);
    return Outcome{{std::move(step)}};
  };
}

const char* modeMeaning(char mode) {
  return mode == '+'   ? "refund of an earlier sale: tsRefund"
         : mode == 'M' ? "debit: tsDebit, the discount calculation"
                       : "sale: tsSale";
}

PreparedCall prepareBonusSale(const ParsedArgs& a) {
  const Line line = lineOptions(a);
  const char mode = modeOption(a);
  const int slot = static_cast<int>(a.integer("slot", 11, 28).value_or(22));
  if (slot != 11 && slot != 20 && slot != 22 && slot != 28) {
    throw UsageError(
        "--slot must be 11 (BonusSale), 20 (BonusSale2), 22 (BonusSaleEx) or 28 "
        "(BonusSaleExStr)");
  }
  const bool last = lastBlockOption(a);
  std::vector<std::uint8_t> given = blockOption(a);
  if (a.has("block") && (slot == 11 || slot == 20)) {
    throw UsageError("--block needs --slot 22 or 28: BonusSale and BonusSale2 pass no block");
  }
  // A refund sends the sale's card block back; without one the terminal can only refuse it.
  if (mode == '+' && !a.has("block")) {
    throw UsageError(slot == 11 || slot == 20
                         ? "--mode + needs --slot 22 or 28 and --block: BonusSale and "
                           "BonusSale2 pass no card block to refund"
                         : "--mode + needs --block: the card_block of the sale to refund "
                           "(79 bytes, 158 hex digits), or last for the latest sale's");
  }
  if (last && mode != '+') throw UsageError("--block last applies to a refund (--mode +)");
  return [line, mode, slot, given, last](Session& s) {
    const char* name = slot == 11   ? "BonusSale"
                       : slot == 20 ? "BonusSale2"
                       : slot == 22 ? "BonusSaleEx"
                                    : "BonusSaleExStr";
    Report request;
    request.text("mode", "Mode", std::string(1, mode), modeMeaning(mode));
    Report figures = lineRequest(line);
    for (Field& f : figures.fields) request.fields.push_back(std::move(f));
    std::vector<std::uint8_t> block = refundBlock(s, given, last);
    if (mode == '+') {
      if (block.empty()) return Outcome{{noLastSale(name, slot, std::move(request))}};
      addBlock(request, block, last);
    } else {
      // A sale hands its card block back in the array: give it room for the 79 bytes.
      block.assign(kCardBlockBytes, 0);
    }
    const HostSlots& t = s.slots();
    HostObject* o = s.object();
    const auto high = static_cast<std::int32_t>(block.size()) - 1;
    std::uint8_t* data = block.data();
    bool sold = false;  // the operation returned: the block holds the sale's card block
    const bool hands = mode != '+' && (slot == 22 || slot == 28);
    const auto finish = [&](Report r, double charged) {
      if (sold && mode != '+') addDiscount(r, line, charged);
      if (sold && hands) {
        r.text("card_block", "Card block", hexString(block),
               mode == 'M' ? "of tsDebit: a refund takes a sale's" : "a refund takes it: --block");
      }
      return r;
    };
    Step step;
    if (slot == 28) {
      TBonusResultStr result{};
      result.Incomplete = 1;  // the driver clears it when the sale completes
      step = callSlot(
          name, 28,
          [&] {
            t.BonusSaleExStr(&result, o, mode, line.purse, line.qty, line.sum, nullptr, nullptr,
                             nullptr, data, high);
            sold = true;
          },
          [&] { return finish(bonusResultStrReport(result, mode != '+'), result.SummaSk); });
      longStrRelease(result.CardType);
      longStrRelease(result.CardNumber);
    } else {
      TBonusResult result{};
      result.Incomplete = 1;  // the driver clears it when the sale completes
      const auto call = [&] {
        if (slot == 11) {
          t.BonusSale(&result, o, mode, line.purse, line.qty, line.sum, nullptr, nullptr);
        } else if (slot == 20) {
          t.BonusSale2(&result, o, mode, line.purse, line.qty, line.sum, nullptr, nullptr, nullptr);
        } else {
          t.BonusSaleEx(&result, o, mode, line.purse, line.qty, line.sum, nullptr, nullptr, nullptr,
                        data, high);
        }
        sold = true;
      };
      step = callSlot(name, slot, call, [&] {
        return finish(bonusResultReport(result, mode != '+'), result.SummaSk);
      });
    }
    if (sold && hands && mode != 'M') s.setLastBlock(block);
    step.request = std::move(request);
    return Outcome{{std::move(step)}};
  };
}

PreparedCall prepareRefund(const ParsedArgs& a) {
  const Line line = lineOptions(a);
  const std::uint8_t requestByte = *byteOption(a, "request-byte", 1);
  if (!a.has("block")) {
    throw UsageError(
        "--block is required: the card_block of the sale (79 bytes, 158 hex digits), or last "
        "for the latest sale's");
  }
  const bool last = lastBlockOption(a);
  const std::vector<std::uint8_t> given = blockOption(a);
  const bool reset = a.has("reset");
  return [line, requestByte, given, last, reset](Session& s) {
    Report request = lineRequest(line);
    request.integer("request_byte", "Request byte", requestByte);
    request.text("command", "Command", reset ? "tsRefundReset" : "tsRefund",
                 reset ? "after tsReset" : "");
    const std::vector<std::uint8_t> block = refundBlock(s, given, last);
    if (block.empty()) return Outcome{{noLastSale("RefundSale", 15, std::move(request))}};
    addBlock(request, block, last);
    // RefundSale writes only the first byte of its record.
    std::array<std::uint8_t, 64> record{};
    record[0] = 0xFF;
    const auto high = static_cast<std::int32_t>(block.size()) - 1;
    std::vector<std::uint8_t> sent = block;
    Step step = callSlot(
        "RefundSale", 15,
        [&] {
          s.slots().RefundSale(record.data(), s.object(), requestByte, nullptr, nullptr,
                               sent.data(), high, line.purse, line.qty, line.sum, reset ? 1 : 0);
        },
        [&] {
          Report r;
          addStatus(r, record[0], StatusContext::kReplyCode);
          return r;
        });
    step.request = std::move(request);
    return Outcome{{std::move(step)}};
  };
}

std::vector<OptionDef> withLine(std::vector<OptionDef> extra) {
  std::vector<OptionDef> o = purseQtySumOptions();
  o.insert(o.end(), extra.begin(), extra.end());
  return o;
}

}  // namespace

const std::vector<HostCommand>& saleCommands() {
  static const std::vector<HostCommand> commands = {
      {"sale", "SubSchet (slot 4): a plain card sale", "", withLine({}), prepareSale},
      {"bonus-sale", "BonusSaleEx (slot 22): sale, debit or refund against a bonus card",
       "--mode chooses the request: + refunds an earlier sale (give its --block, or --block\n"
       "last for the latest sale of the run or of the --sim-state file), M sends\n"
       "tsDebit, any other character sells through tsSale. The result carries SummaSk (the\n"
       "amount charged after the discount), Skidka (discount, %) and CosteSK (unit price\n"
       "after the discount), and the card block that a refund needs.",
       withLine({{"mode", "C", "+ refund, M debit, another character sale (default S)"},
                 {"block", "HEX",
                  "card block of the sale to refund (mode +; 79 bytes), or last: the latest "
                  "sale's"},
                 {"slot", "N",
                  "22 BonusSaleEx (default), 28 BonusSaleExStr, 11 BonusSale, "
                  "20 BonusSale2"}}),
       prepareBonusSale},
      {"noncash-sale", "SubSchetEx (slot 12): a sale against a non-cash card", "",
       withLine({{"request-byte", "B", "request byte of tsSale (default 1)"}}), prepareNonCashSale},
      {"refund", "RefundSale (slot 15): refund an earlier sale given its card block",
       "Only the Status byte of the result is written by the driver. --block last refunds\n"
       "the latest sale of the run (a batch) or of the --sim-state file.",
       withLine({{"block", "HEX", "the card_block the sale handed out (79 bytes), or last"},
                 {"request-byte", "B", "request byte (default 1)"},
                 {"reset", "", "send tsRefundReset (after tsReset) instead of tsRefund"}}),
       prepareRefund},
  };
  return commands;
}

}  // namespace vexcard::cli
