// Option readers shared by the host-operation subcommands. Each throws UsageError naming
// the option when the value is missing or malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/host_commands.h"
#include "vexcard/currency.h"
#include "vexcard/host_records.h"

namespace vexcard::cli {

// A byte option (0..255): its value, else def; with required set, absence is an error.
std::optional<std::uint8_t> byteOption(const ParsedArgs& a, const std::string& name,
                                       std::optional<std::uint8_t> def, bool required = false);

// A required decimal option (quantities, amounts).
double decimalOption(const ParsedArgs& a, const std::string& name);

// A required price or amount as currency (value × 10 000, rounded half to even).
Currency currencyOption(const ParsedArgs& a, const std::string& name);

// --mode: one character ("+" refund, "M" debit, anything else a sale); default "S".
char modeOption(const ParsedArgs& a);

// The size of the card block a sale hands out and a refund sends back.
inline constexpr std::size_t kCardBlockBytes = 79;

// --block: the card block as hex (blanks allowed), exactly 79 bytes; empty when absent
// or "last".
std::vector<std::uint8_t> blockOption(const ParsedArgs& a);

// Whether --block is "last": the card block of the latest sale, known only when it runs.
bool lastBlockOption(const ParsedArgs& a);

// A purse number (what: the option and value, for the message) that has a row in the
// product table (1..48), as the driver looks each line's product up only after the card
// was read.
std::uint8_t productPurse(std::uint64_t purse, const std::string& what);

// --purse, required: a row of the product table.
std::uint8_t purseOption(const ParsedArgs& a);

// --qty and --sum of a sale, debit or refund line. Each, and the unit price sum / qty that
// the driver sends, must come to 0.01 .. 167 772.15 in the hundredths of the terminal's
// money values: a negative figure, or one the terminal would be sent as 0.00, is refused.
struct LineFigures {
  double qty = 0, sum = 0;
};
LineFigures lineFiguresOption(const ParsedArgs& a);

// --item PURSE:PRICE:QTY, one to eight times, as the ItemLimit argument.
TItemList itemListOption(const ParsedArgs& a);

// The sale and refund subcommands (sale_commands.cpp).
const std::vector<HostCommand>& saleCommands();

// Options every sale takes.
std::vector<OptionDef> purseQtySumOptions();

}  // namespace vexcard::cli
