#include "cli/report.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

#include "cli/text_util.h"

namespace vexcard::cli {

namespace {

Field make(Field::Kind kind, std::string key, std::string label, std::string note = {}) {
  Field f;
  f.kind = kind;
  f.key = std::move(key);
  f.label = std::move(label);
  f.note = std::move(note);
  return f;
}

// Display width of UTF-8 text: one column per code point.
std::size_t width(const std::string& s) {
  return static_cast<std::size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string scalarText(const Field& f) {
  switch (f.kind) {
    case Field::Kind::kText:
      return f.text;
    case Field::Kind::kInteger:
      return std::to_string(f.integer);
    case Field::Kind::kNumber:
      return formatNumber(f.number);
    case Field::Kind::kBool:
      return f.flag ? "yes" : "no";
    default:
      return "-";
  }
}

nlohmann::ordered_json jsonOf(const Report& report);

nlohmann::ordered_json jsonValue(const Field& f) {
  switch (f.kind) {
    case Field::Kind::kText:
      return f.text;
    case Field::Kind::kInteger:
      return f.integer;
    case Field::Kind::kNumber:
      // Whole amounts print as integers (5000, not 5000.0); not-a-number is null.
      if (!std::isfinite(f.number)) return nullptr;
      if (std::trunc(f.number) == f.number && std::fabs(f.number) < 9.0e15) {
        return static_cast<std::int64_t>(f.number);
      }
      return f.number;
    case Field::Kind::kBool:
      return f.flag;
    case Field::Kind::kNull:
      return nullptr;
    case Field::Kind::kObject:
      return f.items.empty() ? nlohmann::ordered_json::object() : jsonOf(f.items.front());
    case Field::Kind::kArray: {
      nlohmann::ordered_json items = nlohmann::ordered_json::array();
      for (const Report& r : f.items) items.push_back(jsonOf(r));
      return items;
    }
  }
  return nullptr;
}

nlohmann::ordered_json jsonOf(const Report& report) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const Field& f : report.fields) object[f.key] = jsonValue(f);
  return object;
}

}  // namespace

Report& Report::text(std::string key, std::string label, std::string value, std::string note) {
  Field f = make(Field::Kind::kText, std::move(key), std::move(label), std::move(note));
  f.text = std::move(value);
  fields.push_back(std::move(f));
  return *this;
}

Report& Report::integer(std::string key, std::string label, std::int64_t value, std::string note) {
  Field f = make(Field::Kind::kInteger, std::move(key), std::move(label), std::move(note));
  f.integer = value;
  fields.push_back(std::move(f));
  return *this;
}

Report& Report::number(std::string key, std::string label, double value, std::string note) {
  Field f = make(Field::Kind::kNumber, std::move(key), std::move(label), std::move(note));
  f.number = value;
  fields.push_back(std::move(f));
  return *this;
}

Report& Report::flag(std::string key, std::string label, bool value) {
  Field f = make(Field::Kind::kBool, std::move(key), std::move(label));
  f.flag = value;
  fields.push_back(std::move(f));
  return *this;
}

Report& Report::null(std::string key, std::string label, std::string note) {
  fields.push_back(make(Field::Kind::kNull, std::move(key), std::move(label), std::move(note)));
  return *this;
}

Report& Report::object(std::string key, std::string label, Report value) {
  Field f = make(Field::Kind::kObject, std::move(key), std::move(label));
  f.items.push_back(std::move(value));
  fields.push_back(std::move(f));
  return *this;
}

Report& Report::array(std::string key, std::string label, std::vector<Report> items) {
  Field f = make(Field::Kind::kArray, std::move(key), std::move(label));
  f.items = std::move(items);
  fields.push_back(std::move(f));
  return *this;
}

const Field* Report::find(const std::string& key) const {
  for (const Field& f : fields) {
    if (f.key == key) return &f;
  }
  return nullptr;
}

std::string toJson(const Report& report) {
  // Texts are UTF-8; a stray invalid byte becomes U+FFFD rather than an exception.
  return jsonOf(report).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string toText(const Report& report, int indent) {
  std::size_t labelWidth = 0;
  for (const Field& f : report.fields) {
    if (!f.label.empty() && f.kind != Field::Kind::kArray) {
      labelWidth = std::max(labelWidth, width(f.label));
    }
  }
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  std::string out;
  for (const Field& f : report.fields) {
    if (f.label.empty()) continue;
    if (f.kind == Field::Kind::kObject) {
      out += pad + f.label + "\n";
      if (!f.items.empty()) out += toText(f.items.front(), indent + 2);
      continue;
    }
    if (f.kind == Field::Kind::kArray) {
      out += pad + f.label + "\n";
      for (std::size_t i = 0; i < f.items.size(); ++i) {
        out += pad + "  [" + std::to_string(i + 1) + "]\n" + toText(f.items[i], indent + 4);
      }
      continue;
    }
    std::string line = pad + f.label + ":" + std::string(labelWidth - width(f.label) + 2, ' ');
    line += scalarText(f);
    if (!f.note.empty()) line += "  (" + f.note + ")";
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

}  // namespace vexcard::cli
