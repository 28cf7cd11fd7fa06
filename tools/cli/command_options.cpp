#include "cli/command_options.h"

#include "cli/text_util.h"
#include "driver/card_ops.h"
#include "driver/product_table.h"
#include "link/wire_values.h"
#include "vexcard/runtime.h"

namespace vexcard::cli {

std::optional<std::uint8_t> byteOption(const ParsedArgs& a, const std::string& name,
                                       std::optional<std::uint8_t> def, bool required) {
  if (required && !a.has(name)) throw UsageError("--" + name + " is required");
  const auto v = a.integer(name, 0, 255);
  if (!v) return def;
  return static_cast<std::uint8_t>(*v);
}

double decimalOption(const ParsedArgs& a, const std::string& name) {
  const auto v = a.decimal(name);
  if (!v) throw UsageError("--" + name + " is required");
  return *v;
}

Currency currencyOption(const ParsedArgs& a, const std::string& name) {
  const double v = decimalOption(a, name);
  try {
    return link::currencyFromDouble(v);
  } catch (const std::exception&) {
    throw UsageError("--" + name + ": " + a.required(name) + " is out of range");
  }
}

char modeOption(const ParsedArgs& a) {
  const std::string mode = a.get("mode").value_or("S");
  if (mode.size() != 1 || static_cast<unsigned char>(mode[0]) >= 0x80) {
    throw UsageError("--mode takes one character: + (refund), M (debit), another one (sale)");
  }
  return mode[0];
}

std::vector<std::uint8_t> blockOption(const ParsedArgs& a) {
  const auto text = a.get("block");
  if (!text || lastBlockOption(a)) return {};
  const auto bytes = parseHexBytes(*text);
  if (!bytes || bytes->size() != kCardBlockBytes) {
    throw UsageError(
        "--block takes the card block: 79 bytes (158 hex digits), the card_block "
        "a sale printed, or last" +
        (bytes ? "; this is " + std::to_string(bytes->size()) + " byte(s)" : std::string()));
  }
  return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
}

bool lastBlockOption(const ParsedArgs& a) {
  return a.get("block") == std::optional<std::string>("last");
}

std::uint8_t productPurse(std::uint64_t purse, const std::string& what) {
  if (purse < 1 || purse > static_cast<std::uint64_t>(driver::kProductCount)) {
    throw UsageError(what + ": the product table has purses 1 to " +
                     std::to_string(driver::kProductCount) + " (see `vexcard products`)");
  }
  return static_cast<std::uint8_t>(purse);
}

std::uint8_t purseOption(const ParsedArgs& a) {
  const std::uint8_t purse = *byteOption(a, "purse", std::nullopt, true);
  return productPurse(purse, "--purse " + a.required("purse"));
}

namespace {

// Refuses a figure the terminal would not be sent as 0.01 .. 167 772.15 (what: the figure
// as the user gave it). The sum is not sent itself: only its lower bound is checked.
void requireWireAmount(double value, const std::string& what, bool bounded = true) {
  bool fits = false;
  try {
    const Currency amount = link::currencyFromDouble(value);
    // The hundredths above the exponent byte of the wire money value.
    fits = bounded ? (link::EncodeMoney(amount) >> 8) != 0 : amount.raw > 50;
  } catch (const std::exception&) {
  }
  if (!fits) {
    throw UsageError(what + (bounded ? ": the terminal takes 0.01 to 167772.15 (in hundredths)"
                                     : ": the terminal takes amounts of 0.01 and above"));
  }
}

}  // namespace

LineFigures lineFiguresOption(const ParsedArgs& a) {
  const LineFigures line{decimalOption(a, "qty"), decimalOption(a, "sum")};
  const std::string qty = "--qty " + a.required("qty"), sum = "--sum " + a.required("sum");
  requireWireAmount(line.qty, qty);
  requireWireAmount(line.sum, sum, false);
  // The unit price as the driver computes it from the two.
  const std::string price = sum + " / " + qty + " (the unit price sent)";
  Currency unit;
  try {
    unit = driver::ops::saleFigures(line.qty, line.sum).price;
  } catch (const std::exception&) {
    throw UsageError(price + ": the terminal takes 0.01 to 167772.15 (in hundredths)");
  }
  requireWireAmount(link::toDouble(unit), price + " = " + formatMoney(unit));
  return line;
}

TItemList itemListOption(const ParsedArgs& a) {
  const auto& items = a.all("item");
  if (items.empty() || items.size() > 8) throw UsageError("--item is needed 1 to 8 times");
  TItemList list{};
  list.Count = static_cast<std::uint8_t>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string& item = items[i];
    const auto c1 = item.find(':');
    const auto c2 = c1 == std::string::npos ? c1 : item.find(':', c1 + 1);
    const auto bad = [&] {
      return UsageError("--item '" + item + "': expected PURSE:PRICE:QTY, e.g. 19:18.50:20");
    };
    if (c2 == std::string::npos) throw bad();
    const auto purse = parseUnsigned(item.substr(0, c1), 255);
    const auto price = parseDecimal(item.substr(c1 + 1, c2 - c1 - 1));
    const auto qty = parseDecimal(item.substr(c2 + 1));
    if (!purse || !price || !qty) throw bad();
    TItemRequest& r = list.Items[i];
    r.Purse = productPurse(*purse, "--item '" + item + "'");
    try {
      r.Price = link::currencyFromDouble(*price);
    } catch (const std::exception&) {
      throw bad();
    }
    r.Qty = extendedFromLongDouble(*qty);
  }
  return list;
}

std::vector<OptionDef> purseQtySumOptions() {
  return {{"purse", "N", "purse number: product table row (19 = Аи-92; see `vexcard products`)"},
          {"qty", "Q", "quantity, e.g. 20 or 20.5"},
          {"sum", "S", "amount of the line; the unit price sent is sum / qty"}};
}

}  // namespace vexcard::cli
