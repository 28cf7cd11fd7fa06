// The subcommands of the sale and refund operations.
#include <array>

#include "cli/command_options.h"
#include "cli/records.h"
#include "cli/text_util.h"

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

PreparedCall prepareSale(const ParsedArgs& a) {
  const Line line = lineOptions(a);
  return [line](Session& s) {
    TSaleResult result{};
    return Outcome{{callSlot(
        "SubSchet", 4,
        [&] { s.slots().SubSchet(&result, s.object(), line.purse, line.qty, line.sum); },
        [&] { return saleResultReport(result); })}};
  };
}

PreparedCall prepareNonCashSale(const ParsedArgs& a) {
  const Line line = lineOptions(a);
  const std::uint8_t requestByte = *byteOption(a, "request-byte", 1);
  return [line, requestByte](Session& s) {
    TSaleResultEx result{};
    return Outcome{{callSlot(
        "SubSchetEx", 12,
        [&] {
          s.slots().SubSchetEx(&result, s.object(), requestByte, line.purse, line.qty, line.sum);
        },
        [&] { return saleResultExReport(result); })}};
  };
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
  std::vector<std::uint8_t> block = blockOption(a);
  if (a.has("block") && (slot == 11 || slot == 20)) {
    throw UsageError("--block needs --slot 22 or 28: BonusSale and BonusSale2 pass no block");
  }
  // A refund sends the sale's card block back; without one the terminal can only refuse it.
  if (mode == '+' && block.empty()) {
    throw UsageError(slot == 11 || slot == 20
                         ? "--mode + needs --slot 22 or 28 and --block: BonusSale and "
                           "BonusSale2 pass no card block to refund"
                         : "--mode + needs --block: the card_block of the sale to refund "
                           "(79 bytes, 158 hex digits)");
  }
  // A sale hands its card block back in the array: give it room for the 79 bytes.
  if (mode != '+' && block.empty()) block.resize(kCardBlockBytes, 0);
  return [line, mode, slot, block](Session& s) mutable {
    const HostSlots& t = s.slots();
    HostObject* o = s.object();
    const auto high = static_cast<std::int32_t>(block.size()) - 1;
    std::uint8_t* data = block.empty() ? nullptr : block.data();
    bool sold = false;  // the operation returned: the block holds the sale's card block
    const auto withBlock = [&](Report r) {
      if (sold && mode != '+' && (slot == 22 || slot == 28)) {
        r.text("card_block", "Card block", hexString(block), "pass it to a refund: --block");
      }
      return r;
    };
    if (slot == 28) {
      TBonusResultStr result{};
      result.Incomplete = 1;  // the driver clears it when the sale completes
      Step step = callSlot(
          "BonusSaleExStr", 28,
          [&] {
            t.BonusSaleExStr(&result, o, mode, line.purse, line.qty, line.sum, nullptr, nullptr,
                             nullptr, data, high);
            sold = true;
          },
          [&] { return withBlock(bonusResultStrReport(result, mode != '+')); });
      longStrRelease(result.CardType);
      longStrRelease(result.CardNumber);
      return Outcome{{std::move(step)}};
    }
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
    const char* name = slot == 11 ? "BonusSale" : slot == 20 ? "BonusSale2" : "BonusSaleEx";
    return Outcome{{callSlot(name, slot, call,
                             [&] { return withBlock(bonusResultReport(result, mode != '+')); })}};
  };
}

PreparedCall prepareRefund(const ParsedArgs& a) {
  const Line line = lineOptions(a);
  const std::uint8_t requestByte = *byteOption(a, "request-byte", 1);
  if (!a.has("block")) {
    throw UsageError("--block is required: the card_block of the sale (79 bytes, 158 hex digits)");
  }
  const std::vector<std::uint8_t> block = blockOption(a);
  const bool reset = a.has("reset");
  return [line, requestByte, block, reset](Session& s) {
    // RefundSale writes only the first byte of its record.
    std::array<std::uint8_t, 64> record{};
    record[0] = 0xFF;
    const auto high = static_cast<std::int32_t>(block.size()) - 1;
    return Outcome{{callSlot(
        "RefundSale", 15,
        [&] {
          s.slots().RefundSale(record.data(), s.object(), requestByte, nullptr, nullptr,
                               block.empty() ? nullptr : block.data(), high, line.purse, line.qty,
                               line.sum, reset ? 1 : 0);
        },
        [&] {
          Report r;
          addStatus(r, record[0], StatusContext::kReplyCode);
          return r;
        })}};
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
       "--mode chooses the request: + refunds an earlier sale (give its --block), M sends\n"
       "tsDebit, any other character sells through tsSale. The result carries SummaSk (the\n"
       "amount charged after the discount), Skidka (discount, %) and CosteSK (unit price\n"
       "after the discount), and the card block that a refund needs.",
       withLine({{"mode", "C", "+ refund, M debit, another character sale (default S)"},
                 {"block", "HEX", "card block of the sale to refund (mode +; 79 bytes)"},
                 {"slot", "N",
                  "22 BonusSaleEx (default), 28 BonusSaleExStr, 11 BonusSale, "
                  "20 BonusSale2"}}),
       prepareBonusSale},
      {"noncash-sale", "SubSchetEx (slot 12): a sale against a non-cash card", "",
       withLine({{"request-byte", "B", "request byte of tsSale (default 1)"}}), prepareNonCashSale},
      {"refund", "RefundSale (slot 15): refund an earlier sale given its card block",
       "Only the Status byte of the result is written by the driver.",
       withLine({{"block", "HEX", "the card_block the sale handed out (79 bytes)"},
                 {"request-byte", "B", "request byte (default 1)"},
                 {"reset", "", "send tsRefundReset (after tsReset) instead of tsRefund"}}),
       prepareRefund},
  };
  return commands;
}

}  // namespace vexcard::cli
