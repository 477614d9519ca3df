#include "platform/sim/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include "text/utf8.h"

namespace velmuro::sim::json {

const Value* Value::find(std::string_view key) const {
  if (!isObject()) return nullptr;
  for (const auto& [name, value] : asObject()) {
    if (name == key) return &value;
  }
  return nullptr;
}

namespace {

// Objects with more members than this find a repeated name through a hash set.
constexpr std::size_t kLinearNameCheck = 16;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<Value> parseDocument(std::string* error) {
    std::optional<Value> value = parseValue(0);
    skipSpace();
    if (value && pos_ != text_.size()) value.reset(), fail("unexpected text after the value");
    if (!value && error) *error = error_ + " at offset " + std::to_string(pos_);
    return value;
  }

 private:
  std::optional<Value> parseValue(int depth) {
    if (depth >= kMaxDepth) return fail("nesting too deep");
    skipSpace();
    if (pos_ >= text_.size()) return fail("unexpected end of input");
    char c = text_[pos_];
    if (c == '{') return parseObject(depth);
    if (c == '[') return parseArray(depth);
    if (c == '"') {
      std::optional<std::string> s = parseString();
      if (!s) return std::nullopt;
      return Value(std::move(*s));
    }
    if (consumeWord("true")) return Value(true);
    if (consumeWord("false")) return Value(false);
    if (consumeWord("null")) return Value(nullptr);
    return parseNumber();
  }

  std::optional<Value> parseObject(int depth) {
    ++pos_;
    Object members;
    std::unordered_set<std::string> names;  // filled only for large objects
    skipSpace();
    if (consume('}')) return Value(std::move(members));
    while (true) {
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') return fail("expected a member name");
      std::size_t keyStart = pos_;
      std::optional<std::string> key = parseString();
      if (!key) return std::nullopt;
      if (repeats(members, names, *key)) {
        pos_ = keyStart;
        return fail("member \"" + *key + "\" given twice");
      }
      skipSpace();
      if (!consume(':')) return fail("expected ':'");
      std::optional<Value> value = parseValue(depth + 1);
      if (!value) return std::nullopt;
      members.emplace_back(std::move(*key), std::move(*value));
      skipSpace();
      if (consume('}')) return Value(std::move(members));
      if (!consume(',')) return fail("expected ',' or '}'");
    }
  }

  std::optional<Value> parseArray(int depth) {
    ++pos_;
    Array items;
    skipSpace();
    if (consume(']')) return Value(std::move(items));
    while (true) {
      std::optional<Value> value = parseValue(depth + 1);
      if (!value) return std::nullopt;
      items.push_back(std::move(*value));
      skipSpace();
      if (consume(']')) return Value(std::move(items));
      if (!consume(',')) return fail("expected ',' or ']'");
    }
  }

  // True when an earlier member of the object has this name.
  static bool repeats(const Object& members, std::unordered_set<std::string>& names,
                      const std::string& key) {
    if (members.size() < kLinearNameCheck) {
      for (const auto& [name, value] : members) {
        if (name == key) return true;
      }
      return false;
    }
    if (names.empty()) {
      for (const auto& [name, value] : members) names.insert(name);
    }
    return !names.insert(key).second;
  }

  // A string; bytes that are not UTF-8 are repaired here, so no later message, log line or
  // trace line carries them.
  std::optional<std::string> parseString() {
    ++pos_;
    std::string out;
    bool beyondASCII = false;
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') {
        if (beyondASCII && !text::isValidUTF8(out)) out = text::toValidUTF8(out);
        return out;
      }
      if (static_cast<unsigned char>(c) >= 0x80) beyondASCII = true;
      if (static_cast<unsigned char>(c) < 0x20) return failString("control character in string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      char e = text_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::optional<std::uint32_t> cp = parseCodePoint();
          if (!cp) return std::nullopt;
          text::appendUTF8(out, *cp);
          break;
        }
        default:
          return failString("bad escape");
      }
    }
    return failString("unterminated string");
  }

  std::optional<std::uint32_t> parseHex4() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      char h = text_[pos_++];
      v <<= 4;
      if (h >= '0' && h <= '9')
        v |= static_cast<std::uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f')
        v |= static_cast<std::uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F')
        v |= static_cast<std::uint32_t>(h - 'A' + 10);
      else
        return std::nullopt;
    }
    return v;
  }

  // A \u escape, joining a surrogate pair; a lone surrogate becomes U+FFFD.
  std::optional<std::uint32_t> parseCodePoint() {
    std::optional<std::uint32_t> high = parseHex4();
    if (!high) return failCode("bad \\u escape");
    if (*high < 0xD800 || *high > 0xDFFF) return high;
    if (*high >= 0xDC00) return 0xFFFDu;
    if (text_.substr(pos_, 2) != "\\u") return 0xFFFDu;
    std::size_t save = pos_;
    pos_ += 2;
    std::optional<std::uint32_t> low = parseHex4();
    if (!low) return failCode("bad \\u escape");
    if (*low < 0xDC00 || *low > 0xDFFF) {
      pos_ = save;
      return 0xFFFDu;
    }
    return 0x10000u + ((*high - 0xD800u) << 10) + (*low - 0xDC00u);
  }

  std::optional<Value> parseNumber() {
    std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() &&
           std::string_view("0123456789.eE+-").find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
    }
    std::string number(text_.substr(start, pos_ - start));
    if (number.empty() || number == "-") return fail("unexpected character");
    char* end = nullptr;
    double d = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() || !std::isfinite(d)) return fail("bad number");
    return Value(d);
  }

  bool consumeWord(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool consume(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  std::nullopt_t fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return std::nullopt;
  }
  std::optional<std::string> failString(const char* why) { return fail(why); }
  std::optional<std::uint32_t> failCode(const char* why) { return fail(why); }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
};

void dumpString(std::string& out, const std::string& text) {
  // Whatever bytes a string holds, the line stays valid UTF-8.
  std::string repaired;
  if (!text::isValidUTF8(text)) repaired = text::toValidUTF8(text);
  const std::string& s = repaired.empty() ? text : repaired;
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void dumpInto(std::string& out, const Value& value) {
  if (value.isNull()) {
    out += "null";
  } else if (value.isBool()) {
    out += value.asBool() ? "true" : "false";
  } else if (value.isNumber()) {
    double d = value.asNumber();
    char buf[32];
    if (d == std::floor(d) && std::fabs(d) < 1e15) {
      std::snprintf(buf, sizeof buf, "%.0f", d);
    } else {
      // The shortest form that reads back as the same number (0.1, not 0.10000000000000001).
      for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, d);
        if (std::strtod(buf, nullptr) == d) break;
      }
    }
    out += buf;
  } else if (value.isString()) {
    dumpString(out, value.asString());
  } else if (value.isArray()) {
    out += '[';
    bool first = true;
    for (const Value& item : value.asArray()) {
      if (!first) out += ',';
      first = false;
      dumpInto(out, item);
    }
    out += ']';
  } else {
    out += '{';
    bool first = true;
    for (const auto& [key, item] : value.asObject()) {
      if (!first) out += ',';
      first = false;
      dumpString(out, key);
      out += ':';
      dumpInto(out, item);
    }
    out += '}';
  }
}

}  // namespace

std::optional<Value> parse(std::string_view text, std::string* error) {
  return Parser(text).parseDocument(error);
}

std::string dump(const Value& value) {
  std::string out;
  dumpInto(out, value);
  return out;
}

}  // namespace velmuro::sim::json
