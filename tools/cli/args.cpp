#include "cli/args.h"

#include <algorithm>

#include "cli/text_util.h"

namespace vexcard::cli {

std::optional<std::string> ParsedArgs::get(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

const std::vector<std::string>& ParsedArgs::all(const std::string& name) const {
  static const std::vector<std::string> kNone;
  const auto it = values_.find(name);
  return it == values_.end() ? kNone : it->second;
}

std::optional<double> ParsedArgs::decimal(const std::string& name) const {
  const auto v = get(name);
  if (!v) return std::nullopt;
  const auto d = parseDecimal(*v);
  if (!d) throw UsageError("--" + name + ": '" + *v + "' is not a decimal number");
  return d;
}

std::optional<std::int64_t> ParsedArgs::integer(const std::string& name, std::int64_t min,
                                                std::int64_t max) const {
  const auto v = get(name);
  if (!v) return std::nullopt;
  std::string_view text = *v;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  const auto u = parseUnsigned(text, static_cast<std::uint64_t>(INT64_MAX));
  const std::int64_t value =
      u ? (negative ? -static_cast<std::int64_t>(*u) : static_cast<std::int64_t>(*u)) : 0;
  if (!u || value < min || value > max) {
    throw UsageError("--" + name + ": '" + *v + "' must be an integer from " + std::to_string(min) +
                     " to " + std::to_string(max));
  }
  return value;
}

std::string ParsedArgs::required(const std::string& name) const {
  const auto v = get(name);
  if (!v) throw UsageError("--" + name + " is required");
  return *v;
}

ParsedArgs parseArgs(std::span<const std::string> args, std::span<const OptionDef> defs) {
  ParsedArgs parsed;
  auto findDef = [&](const std::string& name) -> const OptionDef* {
    for (const OptionDef& s : defs) {
      if (s.name == name) return &s;
    }
    return nullptr;
  };
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
      parsed.addPositional(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name;
    std::optional<std::string> value;
    if (arg == "-h") {
      name = "help";
    } else if (arg.rfind("--", 0) == 0) {
      name = arg.substr(2);
      const auto eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
    } else {
      throw UsageError("unknown option '" + arg + "'");
    }
    const OptionDef* def = findDef(name);
    if (def == nullptr) throw UsageError("unknown option '--" + name + "'");
    if (def->valueName.empty()) {
      if (value) throw UsageError("--" + name + " takes no value");
      value = "";
    } else if (!value) {
      if (i + 1 >= args.size())
        throw UsageError("--" + name + " needs a value (" + def->valueName + ")");
      value = args[++i];
    }
    if (parsed.has(name) && !def->repeatable) throw UsageError("--" + name + " given twice");
    parsed.add(name, *value);
  }
  return parsed;
}

std::string optionsHelp(std::span<const OptionDef> defs) {
  std::vector<std::string> heads;
  std::size_t widest = 0;
  for (const OptionDef& s : defs) {
    std::string head = "  --" + s.name + (s.valueName.empty() ? "" : " " + s.valueName);
    widest = std::max(widest, head.size());
    heads.push_back(std::move(head));
  }
  std::string out;
  for (std::size_t i = 0; i < defs.size(); ++i) {
    out += heads[i] + std::string(widest - heads[i].size() + 3, ' ') + defs[i].help + "\n";
  }
  return out;
}

}  // namespace vexcard::cli
