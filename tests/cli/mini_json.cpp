#include "mini_json.h"

#include <cstdlib>
#include <stdexcept>

namespace vexcard::test {

namespace {

class Reader {
 public:
  explicit Reader(const std::string& t) : t_(t) {}

  Json document() {
    Json v = value();
    blanks();
    if (i_ != t_.size()) fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(i_));
  }
  void blanks() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\r' || t_[i_] == '\t'))
      ++i_;
  }
  bool take(char c) {
    blanks();
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!take(c)) fail(std::string("expected '") + c + "'");
  }
  bool word(const char* w) {
    const std::string s(w);
    if (t_.compare(i_, s.size(), s) != 0) return false;
    i_ += s.size();
    return true;
  }

  Json value() {
    blanks();
    if (i_ >= t_.size()) fail("unexpected end");
    Json v;
    const char c = t_[i_];
    if (c == '{') {
      v.type = Json::Type::kObject;
      ++i_;
      if (take('}')) return v;
      do {
        blanks();
        const std::string key = str();
        expect(':');
        if (!v.object.emplace(key, value()).second) fail("duplicate key " + key);
      } while (take(','));
      expect('}');
    } else if (c == '[') {
      v.type = Json::Type::kArray;
      ++i_;
      if (take(']')) return v;
      do v.array.push_back(value());
      while (take(','));
      expect(']');
    } else if (c == '"') {
      v.type = Json::Type::kString;
      v.string = str();
    } else if (word("true")) {
      v.type = Json::Type::kBool;
      v.boolean = true;
    } else if (word("false")) {
      v.type = Json::Type::kBool;
    } else if (word("null")) {
      v.type = Json::Type::kNull;
    } else {
      const char* begin = t_.c_str() + i_;
      char* end = nullptr;
      v.number = std::strtod(begin, &end);
      if (end == begin) fail("bad value");
      v.type = Json::Type::kNumber;
      i_ += static_cast<std::size_t>(end - begin);
    }
    return v;
  }

  std::string str() {
    if (i_ >= t_.size() || t_[i_] != '"') fail("expected a string");
    ++i_;
    std::string s;
    while (i_ < t_.size() && t_[i_] != '"') {
      char c = t_[i_++];
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
      if (c == '\\') {
        if (i_ >= t_.size()) fail("bad escape");
        const char e = t_[i_++];
        if (e == 'n')
          c = '\n';
        else if (e == 't')
          c = '\t';
        else if (e == 'r')
          c = '\r';
        else if (e == 'u') {
          if (i_ + 4 > t_.size()) fail("bad \\u escape");
          c = static_cast<char>(std::strtol(t_.substr(i_, 4).c_str(), nullptr, 16));
          i_ += 4;
        } else if (e == '"' || e == '\\' || e == '/')
          c = e;
        else
          fail("bad escape");
      }
      s += c;
    }
    if (i_ >= t_.size()) fail("unterminated string");
    ++i_;
    return s;
  }

  const std::string& t_;
  std::size_t i_ = 0;
};

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  const auto it = object.find(key);
  if (type != Type::kObject || it == object.end()) throw std::runtime_error("no member " + key);
  return it->second;
}

const Json& Json::operator[](std::size_t i) const {
  if (type != Type::kArray || i >= array.size()) throw std::runtime_error("no element");
  return array[i];
}

Json parseJson(const std::string& text) { return Reader(text).document(); }

}  // namespace vexcard::test
