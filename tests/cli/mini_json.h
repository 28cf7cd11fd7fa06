// A small strict JSON reader for the tests: enough to check that the tools print well-formed
// JSON and to look fields up by name. Throws std::runtime_error on malformed input.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vexcard::test {

struct Json {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<Json> array;
  std::map<std::string, Json> object;

  // The member `key` of an object; throws when absent or not an object.
  const Json& operator[](const std::string& key) const;
  const Json& operator[](std::size_t i) const;
  bool has(const std::string& key) const { return object.count(key) != 0; }
};

// Parses exactly one JSON value (surrounding blanks and one closing line feed allowed).
Json parseJson(const std::string& text);

}  // namespace vexcard::test
