// Option readers shared by the host-operation subcommands. Each throws UsageError naming
// the option when the value is missing or malformed.
#pragma once

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

// --block: hex bytes (blanks allowed), any length; empty when absent.
std::vector<std::uint8_t> blockOption(const ParsedArgs& a);

// --item PURSE:PRICE:QTY, one to eight times, as the ItemLimit argument.
TItemList itemListOption(const ParsedArgs& a);

// The sale and refund subcommands (sale_commands.cpp).
const std::vector<HostCommand>& saleCommands();

// Options every sale takes.
std::vector<OptionDef> purseQtySumOptions();

}  // namespace vexcard::cli
