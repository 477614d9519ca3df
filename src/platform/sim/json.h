#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velmuro::sim::json {

class Value;
using Array = std::vector<Value>;
// Members in the order they were written.
using Object = std::vector<std::pair<std::string, Value>>;

// One JSON value: null, Boolean, number, string, array or object.
class Value {
 public:
  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  Value(double d) : data_(d) {}
  Value(int i) : data_(static_cast<double>(i)) {}
  Value(std::int64_t i) : data_(static_cast<double>(i)) {}
  Value(std::uint32_t i) : data_(static_cast<double>(i)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(Array a) : data_(std::move(a)) {}
  Value(Object o) : data_(std::move(o)) {}

  bool isNull() const { return std::holds_alternative<std::nullptr_t>(data_); }
  bool isBool() const { return std::holds_alternative<bool>(data_); }
  bool isNumber() const { return std::holds_alternative<double>(data_); }
  bool isString() const { return std::holds_alternative<std::string>(data_); }
  bool isArray() const { return std::holds_alternative<Array>(data_); }
  bool isObject() const { return std::holds_alternative<Object>(data_); }

  bool asBool() const { return std::get<bool>(data_); }
  double asNumber() const { return std::get<double>(data_); }
  const std::string& asString() const { return std::get<std::string>(data_); }
  const Array& asArray() const { return std::get<Array>(data_); }
  const Object& asObject() const { return std::get<Object>(data_); }
  Array& asArray() { return std::get<Array>(data_); }
  Object& asObject() { return std::get<Object>(data_); }

  // The member with this key, or null when this is not an object or has no such member.
  const Value* find(std::string_view key) const;

 private:
  std::variant<std::nullptr_t, bool, double, std::string, Array, Object> data_ = nullptr;
};

// How deeply arrays and objects may nest in a text the parser accepts.
inline constexpr int kMaxDepth = 200;

// Parses a whole JSON text, repairing strings that are not UTF-8 and refusing a member name that
// an object repeats; absent on a syntax error, with its place in *error when given.
std::optional<Value> parse(std::string_view text, std::string* error = nullptr);

// Writes a value as compact JSON, valid UTF-8 whatever bytes its strings hold.
std::string dump(const Value& value);

}  // namespace velmuro::sim::json
