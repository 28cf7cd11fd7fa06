#include "options/args.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#include "logreader/text.h"

namespace vexcard::options {

using logreader::parseDecimal;
using logreader::parseUnsigned;

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

namespace {

// CLI11's message with its first letter in lower case, as the programs' own messages are.
std::string usageText(const CLI::ParseError& e) {
  std::string text = e.what();
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && text.rfind("--", 0) != 0) {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

}  // namespace

ParsedArgs parseArgs(std::span<const std::string> args, std::span<const OptionDef> defs) {
  // Every option takes one value per occurrence (or none, for a flag); an option that is
  // not repeatable may be given once; words that are not options, "-" and negative
  // numbers included, are positional, and so is everything after "--".
  CLI::App app;
  app.set_help_flag();  // help is an ordinary option of the tables
  std::vector<CLI::Option*> options;
  for (const OptionDef& d : defs) {
    const std::string names = d.name == "help" ? "-h,--help" : "--" + d.name;
    CLI::Option* o = d.valueName.empty()
                         ? app.add_flag(names)->disable_flag_override()
                         : app.add_option(names)->allow_extra_args(false)->type_name(d.valueName);
    o->multi_option_policy(d.repeatable ? CLI::MultiOptionPolicy::TakeAll
                                        : CLI::MultiOptionPolicy::Throw);
    options.push_back(o);
  }
  std::vector<std::string> words;
  app.add_option("words", words);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them reversed
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    throw UsageError(usageText(e));
  }
  ParsedArgs parsed;
  for (std::size_t i = 0; i < defs.size(); ++i) {
    if (defs[i].valueName.empty()) {
      for (std::size_t n = 0; n < options[i]->count(); ++n) parsed.add(defs[i].name, "");
    } else {
      for (const std::string& v : options[i]->results()) parsed.add(defs[i].name, v);
    }
  }
  for (std::string& w : words) parsed.addPositional(std::move(w));
  return parsed;
}

std::string readInputFile(const std::string& path, const std::string& what) {
  std::ostringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
    if (std::cin.bad()) throw InputError(what + ": cannot read standard input");
    return text.str();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError(what + ": cannot open '" + path + "'");
  text << in.rdbuf();
  if (in.bad()) throw InputError(what + ": cannot read '" + path + "'");
  return text.str();
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

}  // namespace vexcard::options
