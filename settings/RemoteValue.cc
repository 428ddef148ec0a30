#include "settings/RemoteValue.h"

#include <string>

namespace sorv {

namespace {

constexpr int kMaxDepth = 4;

Value fromVariant(const sdbus::Variant& v, int depth) {
  if (v.containsValueOfType<std::string>()) return Value(v.get<std::string>());
  if (depth >= kMaxDepth) return Value();
  if (v.containsValueOfType<std::vector<std::string>>()) {
    Array list;
    for (auto& s : v.get<std::vector<std::string>>()) list.emplace_back(std::move(s));
    return Value(std::move(list));
  }
  if (v.containsValueOfType<std::vector<sdbus::Variant>>()) {
    Array list;
    for (const auto& item : v.get<std::vector<sdbus::Variant>>())
      list.push_back(fromVariant(item, depth + 1));
    return Value(std::move(list));
  }
  return Value();
}

}  // namespace

Array remoteArrayFromVariants(const std::vector<sdbus::Variant>& items) {
  Array list;
  list.reserve(items.size());
  for (const auto& item : items) list.push_back(fromVariant(item, 1));
  return list;
}

Value remoteValueFromVariant(const sdbus::Variant& v) {
  return fromVariant(v, 0);
}

sdbus::Variant remoteVariantFromValue(const Value& v) {
  if (const Array* list = v.asArray()) {
    std::vector<sdbus::Variant> items;
    for (const Value& item : *list) items.push_back(remoteVariantFromValue(item));
    return sdbus::Variant(items);
  }
  return sdbus::Variant(v.stringValue().value_or(std::string()));
}

std::map<std::string, sdbus::Variant> remoteDictToVariants(const Dict& d) {
  std::map<std::string, sdbus::Variant> m;
  for (const auto& [key, v] : d) {
    if (const bool* b = v.asBoolean())
      m.emplace(key, sdbus::Variant(*b));
    else if (const std::int64_t* i = v.asInteger())
      m.emplace(key, sdbus::Variant(*i));
    else if (const double* r = v.asReal())
      m.emplace(key, sdbus::Variant(*r));
    else
      m.emplace(key, sdbus::Variant(v.stringValue().value_or(std::string())));
  }
  return m;
}

Dict remoteDictFromVariants(const std::map<std::string, sdbus::Variant>& m) {
  constexpr std::size_t kMaxKeys = 64, kMaxText = 64 * 1024;
  Dict d;
  for (const auto& [key, v] : m) {
    if (d.size() >= kMaxKeys) break;
    if (v.containsValueOfType<bool>()) {
      d[key] = v.get<bool>();
    } else if (v.containsValueOfType<std::int64_t>()) {
      d[key] = static_cast<long long>(v.get<std::int64_t>());
    } else if (v.containsValueOfType<double>()) {
      d[key] = v.get<double>();
    } else if (v.containsValueOfType<std::string>()) {
      std::string s = v.get<std::string>();
      if (s.size() > kMaxText) s.resize(kMaxText);
      d[key] = std::move(s);
    }
  }
  return d;
}

}  // namespace sorv
