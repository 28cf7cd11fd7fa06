// Command-line options of the programs (vexcard, vexcard-terminal), parsed with CLI11 from
// tables of option definitions: "--name value", "--name=value", flags, and positional words.
//
// Plain values; not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexcard::options {

// Bad command-line input: the program prints the message and exits with the usage code.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An input file named on the command line that cannot be read: not a usage error (the
// command was right, the file is missing or unreadable); the programs exit with their
// failure code.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionDef {
  std::string name;       // without the leading "--"
  std::string valueName;  // empty: a flag without value
  std::string help;
  bool repeatable = false;
};

class ParsedArgs {
 public:
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  // The value of an option given once; empty optional when absent.
  std::optional<std::string> get(const std::string& name) const;
  const std::vector<std::string>& all(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }

  // Typed getters; each throws UsageError naming the option when the value is malformed.
  std::optional<double> decimal(const std::string& name) const;
  // An integer in [min, max], decimal or hexadecimal after "0x".
  std::optional<std::int64_t> integer(const std::string& name, std::int64_t min,
                                      std::int64_t max) const;
  // The value of a required option; UsageError when it is absent.
  std::string required(const std::string& name) const;

  void add(const std::string& name, std::string value) {
    values_[name].push_back(std::move(value));
  }
  void addPositional(std::string word) { positional_.push_back(std::move(word)); }

 private:
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> positional_;
};

// Parses args against defs (with CLI11). "-h" stands for "--help". "--" ends the options.
// Throws UsageError for an unknown option, a missing value, a value given to a flag and an
// option given twice that is not repeatable.
ParsedArgs parseArgs(std::span<const std::string> args, std::span<const OptionDef> defs);

// The whole content of the file at path, or of standard input for "-". Throws InputError
// naming what (e.g. "log") when it cannot be opened or read.
std::string readInputFile(const std::string& path, const std::string& what);

// The options as help text: "  --name VALUE   help", aligned.
std::string optionsHelp(std::span<const OptionDef> defs);

}  // namespace vexcard::options
