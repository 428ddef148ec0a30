// The property-list value: nil, boolean, integer, real, text, date, data, array or dictionary.
// Dictionaries handed between components (notification user info, upload info) travel as a
// DictRef: one mutable dictionary shared by the poster and its observers.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sorv {

struct Date {
  double secondsSince1970 = 0;  // may be negative (dates before 1970)
  bool operator==(const Date&) const = default;
};

using Data = std::vector<std::uint8_t>;

class Value;
using Array = std::vector<Value>;
using Dict = std::map<std::string, Value>;
using DictRef = std::shared_ptr<Dict>;

inline DictRef makeDict(Dict d = {}) { return std::make_shared<Dict>(std::move(d)); }

class Value {
 public:
  enum class Type { Nil, Bool, Integer, Real, String, Date, Data, Array, Dict };

  Value() = default;
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(long i) : v_(static_cast<std::int64_t>(i)) {}
  Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(sorv::Date d) : v_(d) {}
  Value(sorv::Data d) : v_(std::move(d)) {}
  Value(sorv::Array a) : v_(std::move(a)) {}
  Value(sorv::Dict d) : v_(std::move(d)) {}

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNil() const { return type() == Type::Nil; }
  bool isNumber() const {
    return type() == Type::Bool || type() == Type::Integer || type() == Type::Real;
  }

  // Typed access; nullptr when the value is of another type.
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const sorv::Dict* asDict() const { return std::get_if<sorv::Dict>(&v_); }
  sorv::Dict* asDict() { return std::get_if<sorv::Dict>(&v_); }
  const sorv::Array* asArray() const { return std::get_if<sorv::Array>(&v_); }
  sorv::Array* asArray() { return std::get_if<sorv::Array>(&v_); }
  const sorv::Data* asData() const { return std::get_if<sorv::Data>(&v_); }
  const sorv::Date* asDate() const { return std::get_if<sorv::Date>(&v_); }
  const bool* asBoolean() const { return std::get_if<bool>(&v_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&v_); }
  const double* asReal() const { return std::get_if<double>(&v_); }

  // Conversions as the platform's text and number objects make them:
  // a number's value (booleans as 0/1); a text's leading numeric value (0 when it has none,
  // like strtod on the trimmed text); nil, dates, data and collections give 0.
  double doubleValue() const;
  std::int64_t integerValue() const;  // numbers truncated toward zero; texts like strtoll
  // Text: the text itself; a number's text ("1", "0.5"; a boolean gives "1"/"0");
  // nullopt for anything else.
  std::optional<std::string> stringValue() const;

  // A readable rendering for log lines, in the style of the platform's description.
  std::string description() const;

  bool operator==(const Value&) const = default;

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, sorv::Date, sorv::Data,
               sorv::Array, sorv::Dict>
      v_;
};

// Convenience lookups in a dictionary: nullptr / nullopt when absent or of another type.
const Value* dictGet(const Dict& d, const std::string& key);
const std::string* dictGetString(const Dict& d, const std::string& key);
const Dict* dictGetDict(const Dict& d, const std::string& key);
const Array* dictGetArray(const Dict& d, const std::string& key);

}  // namespace sorv
