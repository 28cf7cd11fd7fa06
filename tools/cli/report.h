// The result of a command as an ordered list of named fields, printed either as readable
// text or as JSON.
//
// Field keys are the JSON names: lower_snake_case, stable across versions (scripts read
// them). Labels are for the text form. Texts are UTF-8. A field may hold a nested report
// (a JSON object) or a list of reports (a JSON array).
//
// Money, quantities and percentages are fixed-point: the terminal counts them in
// hundredths, so they print with two decimals in both forms ("5000.00", "357.05", "3.50");
// JSON carries the same digits as a number, so a reader gets 3.5, never 3.499999999999997.
// Other numbers print in their shortest form.
//
// Plain values; not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexcard::cli {

struct Report;

struct Field {
  enum class Kind : std::uint8_t { kText, kInteger, kNumber, kBool, kNull, kObject, kArray };
  Kind kind = Kind::kNull;
  std::string key;    // JSON name
  std::string label;  // text form
  std::string text;   // kText
  std::int64_t integer = 0;
  double number = 0;
  int decimals = -1;  // kNumber: fixed decimals; -1 the shortest form
  bool flag = false;
  std::string note;           // text form only: shown after the value
  std::vector<Report> items;  // kObject (one item) and kArray
};

struct Report {
  std::vector<Field> fields;

  Report& text(std::string key, std::string label, std::string value, std::string note = {});
  Report& integer(std::string key, std::string label, std::int64_t value, std::string note = {});
  Report& number(std::string key, std::string label, double value, std::string note = {});
  // An amount of money or a quantity, two decimals.
  Report& money(std::string key, std::string label, double value, std::string note = {});
  // A percentage, two decimals.
  Report& percent(std::string key, std::string label, double value, std::string note = {});
  Report& flag(std::string key, std::string label, bool value);
  Report& null(std::string key, std::string label, std::string note = {});
  Report& object(std::string key, std::string label, Report value);
  Report& array(std::string key, std::string label, std::vector<Report> items);
  // Fields whose key is hidden from the text form (label empty) are JSON only.

  const Field* find(const std::string& key) const;
};

// The report as one JSON object on one line, fields in their order.
std::string toJson(const Report& report);

// A fixed-point figure as the reports print it: value rounded to decimals ("3.50", "-2.00",
// never "-0.00").
std::string fixedText(double value, int decimals);

// The report as aligned "label  value  (note)" lines, nested reports indented.
std::string toText(const Report& report, int indent = 0);

}  // namespace vexcard::cli
