#include "cli/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
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
      if (!std::isfinite(f.number)) return "-";
      return f.decimals >= 0 ? fixedText(f.number, f.decimals) : formatNumber(f.number);
    case Field::Kind::kBool:
      return f.flag ? "yes" : "no";
    default:
      return "-";
  }
}

// The object's structure is written here and its strings by nlohmann-json: a JSON library
// writes a number from a double, and money must read "357.05", "5000.00" as the terminal
// has it, never 357.04999999999995 or 5000 beside 357.05.
void appendJson(std::string& out, const Report& report);

// A JSON string; a stray invalid UTF-8 byte becomes U+FFFD rather than an exception.
void appendJsonString(std::string& out, const std::string& text) {
  out.append(nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void appendJsonValue(std::string& out, const Field& f) {
  switch (f.kind) {
    case Field::Kind::kText:
      appendJsonString(out, f.text);
      return;
    case Field::Kind::kInteger:
      out.append(std::to_string(f.integer));
      return;
    case Field::Kind::kNumber:
      // Not-a-number is null; a fixed-point figure carries its decimals; other whole
      // numbers print as integers (2, not 2.0).
      if (!std::isfinite(f.number)) {
        out.append("null");
      } else if (f.decimals >= 0) {
        out.append(fixedText(f.number, f.decimals));
      } else if (std::trunc(f.number) == f.number && std::fabs(f.number) < 9.0e15) {
        out.append(std::to_string(static_cast<std::int64_t>(f.number)));
      } else {
        out.append(nlohmann::json(f.number).dump());
      }
      return;
    case Field::Kind::kBool:
      out.append(f.flag ? "true" : "false");
      return;
    case Field::Kind::kNull:
      out.append("null");
      return;
    case Field::Kind::kObject:
      if (f.items.empty()) {
        out.append("{}");
      } else {
        appendJson(out, f.items.front());
      }
      return;
    case Field::Kind::kArray:
      out.push_back('[');
      for (std::size_t i = 0; i < f.items.size(); ++i) {
        if (i > 0) out.push_back(',');
        appendJson(out, f.items[i]);
      }
      out.push_back(']');
      return;
  }
}

void appendJson(std::string& out, const Report& report) {
  out.push_back('{');
  bool first = true;
  for (const Field& f : report.fields) {
    if (!first) out.push_back(',');
    first = false;
    appendJsonString(out, f.key);
    out.push_back(':');
    appendJsonValue(out, f);
  }
  out.push_back('}');
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

Report& Report::money(std::string key, std::string label, double value, std::string note) {
  number(std::move(key), std::move(label), value, std::move(note));
  fields.back().decimals = 2;
  return *this;
}

Report& Report::percent(std::string key, std::string label, double value, std::string note) {
  return money(std::move(key), std::move(label), value, std::move(note));
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
  std::string out;
  appendJson(out, report);
  return out;
}

std::string fixedText(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  double rounded = std::round(value * scale) / scale;
  if (rounded == 0) rounded = 0;  // no "-0.00"
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, rounded);
  return buf;
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
