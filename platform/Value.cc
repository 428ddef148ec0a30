#include "platform/Value.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace sorv {

namespace {

// The leading number of a text the way the platform's text objects read it: leading white
// space, an optional sign, digits with an optional fraction and exponent; 0 when none.
double leadingDouble(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  size_t numStart = i;
  size_t digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
      while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
      i = j;
    }
  }
  double v = 0;
  auto r = std::from_chars(s.data() + numStart, s.data() + i, v);
  if (r.ec == std::errc::result_out_of_range) {
    v = std::numeric_limits<double>::infinity();
    // from_chars leaves v alone on range errors; tiny values underflow to zero.
    bool tiny = false;
    for (size_t k = numStart; k < i; ++k) {
      if (s[k] == 'e' || s[k] == 'E') {
        tiny = k + 1 < i && s[k + 1] == '-';
        break;
      }
    }
    if (tiny) v = 0;
  }
  return negative ? -v : v;
}

std::int64_t leadingInteger(const std::string& s) {
  // strtoll skips leading white space, takes a sign and clamps on overflow.
  return static_cast<std::int64_t>(std::strtoll(s.c_str(), nullptr, 10));
}

std::int64_t truncateToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::string realText(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    if (!std::isalnum(c) && c != '_' && c != '.' && c != '/' && c != '$' && c != '-' && c < 0x80)
      return true;
  }
  return false;
}

std::string quoted(const std::string& s) {
  if (!needsQuotes(s)) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

void describe(const Value& v, int indent, std::string& out) {
  const std::string pad(static_cast<size_t>(indent) * 4, ' ');
  switch (v.type()) {
    case Value::Type::Nil:
      out += "(null)";
      break;
    case Value::Type::Bool:
      out += *v.asBoolean() ? "1" : "0";
      break;
    case Value::Type::Integer:
    case Value::Type::Real:
      out += *v.stringValue();
      break;
    case Value::Type::String:
      out += quoted(*v.asString());
      break;
    case Value::Type::Date: {
      char buf[64];
      time_t t = static_cast<time_t>(std::floor(v.asDate()->secondsSince1970));
      struct tm tm {};
      gmtime_r(&t, &tm);
      strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
      out += buf;
      break;
    }
    case Value::Type::Data: {
      static const char* hex = "0123456789abcdef";
      out += '<';
      const Data& d = *v.asData();
      for (size_t i = 0; i < d.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += hex[d[i] >> 4];
        out += hex[d[i] & 15];
      }
      out += '>';
      break;
    }
    case Value::Type::Array: {
      out += "(\n";
      const Array& a = *v.asArray();
      for (size_t i = 0; i < a.size(); ++i) {
        out += pad + "    ";
        describe(a[i], indent + 1, out);
        out += i + 1 < a.size() ? ",\n" : "\n";
      }
      out += pad + ")";
      break;
    }
    case Value::Type::Dict: {
      out += "{\n";
      for (const auto& [k, item] : *v.asDict()) {
        out += pad + "    " + quoted(k) + " = ";
        describe(item, indent + 1, out);
        out += ";\n";
      }
      out += pad + "}";
      break;
    }
  }
}

}  // namespace

double Value::doubleValue() const {
  switch (type()) {
    case Type::Bool:
      return *asBoolean() ? 1 : 0;
    case Type::Integer:
      return static_cast<double>(*asInteger());
    case Type::Real:
      return *asReal();
    case Type::String:
      return leadingDouble(*asString());
    default:
      return 0;
  }
}

std::int64_t Value::integerValue() const {
  switch (type()) {
    case Type::Bool:
      return *asBoolean() ? 1 : 0;
    case Type::Integer:
      return *asInteger();
    case Type::Real:
      return truncateToInt64(*asReal());
    case Type::String:
      return leadingInteger(*asString());
    default:
      return 0;
  }
}

std::optional<std::string> Value::stringValue() const {
  switch (type()) {
    case Type::Bool:
      return std::string(*asBoolean() ? "1" : "0");
    case Type::Integer:
      return std::to_string(*asInteger());
    case Type::Real:
      return realText(*asReal());
    case Type::String:
      return *asString();
    default:
      return std::nullopt;
  }
}

std::string Value::description() const {
  std::string out;
  describe(*this, 0, out);
  return out;
}

const Value* dictGet(const Dict& d, const std::string& key) {
  auto it = d.find(key);
  return it == d.end() ? nullptr : &it->second;
}

const std::string* dictGetString(const Dict& d, const std::string& key) {
  const Value* v = dictGet(d, key);
  return v ? v->asString() : nullptr;
}

const Dict* dictGetDict(const Dict& d, const std::string& key) {
  const Value* v = dictGet(d, key);
  return v ? v->asDict() : nullptr;
}

const Array* dictGetArray(const Dict& d, const std::string& key) {
  const Value* v = dictGet(d, key);
  return v ? v->asArray() : nullptr;
}

}  // namespace sorv
