#include "tests/service/JournalProtocol.h"

#include <cstdint>
#include <cstdio>
#include <map>

namespace sorv::test::journal {

bool validFieldName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFieldName || (name[0] >= '0' && name[0] <= '9'))
    return false;
  for (char c : name)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

namespace {

void addClientField(Entry* entry, std::string_view name, std::string_view value) {
  if (validFieldName(name) && name[0] != '_') entry->emplace_back(name, value);
}

// One field at the front of data: "KEY=value\n" or "KEY\n<length><bytes>\n". Returns the bytes
// it took, or 0 when data does not start with a whole, well-formed field.
std::size_t takeNativeField(std::string_view data, Entry* entry) {
  std::size_t newline = data.find('\n');
  if (newline == std::string_view::npos) return 0;
  std::string_view head = data.substr(0, newline);
  std::size_t equals = head.find('=');
  if (equals != std::string_view::npos) {
    addClientField(entry, head.substr(0, equals), head.substr(equals + 1));
    return newline + 1;
  }
  std::size_t start = newline + 1 + 8;
  if (data.size() < start) return 0;
  std::uint64_t length = 0;
  for (int i = 7; i >= 0; --i)
    length = (length << 8) | static_cast<unsigned char>(data[newline + 1 + i]);
  if (length > data.size() - start || data.size() - start - length < 1) return 0;
  if (data[start + length] != '\n') return 0;
  addClientField(entry, head, data.substr(start, length));
  return start + length + 1;
}

// journald's parse_boolean.
int parseBoolean(std::string_view s) {
  for (const char* yes : {"1", "yes", "y", "true", "t", "on"})
    if (s == yes) return 1;
  for (const char* no : {"0", "no", "n", "false", "f", "off"})
    if (s == no) return 0;
  return -1;
}

// A leading "<N>" with N from 0 to 7 (a syslog priority without facility): its priority, and
// the line after it. Any other prefix is text, as journald keeps it.
bool takeLevelPrefix(std::string_view* line, int* priority) {
  if (line->size() < 3 || (*line)[0] != '<' || (*line)[1] < '0' || (*line)[1] > '7' ||
      (*line)[2] != '>')
    return false;
  *priority = (*line)[1] - '0';
  line->remove_prefix(3);
  return true;
}

bool validUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || c == 0xc0 || c == 0xc1 || c > 0xf4 ||
        s.size() - i <= static_cast<std::size_t>(extra))
      return false;
    for (int k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += extra + 1;
  }
  return true;
}

void appendJsonValue(std::string* out, std::string_view value) {
  if (!validUtf8(value)) {
    out->push_back('[');
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i) out->push_back(',');
      *out += std::to_string(static_cast<unsigned char>(value[i]));
    }
    out->push_back(']');
    return;
  }
  out->push_back('"');
  for (char c : value) {
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
          *out += buf;
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

}  // namespace

std::vector<Entry> parseNative(std::string_view data) {
  std::vector<Entry> entries;
  Entry entry;
  while (!data.empty()) {
    if (data[0] == '\n') {  // an empty line ends an entry
      if (!entry.empty()) entries.push_back(std::move(entry));
      entry.clear();
      data.remove_prefix(1);
      continue;
    }
    std::size_t took = takeNativeField(data, &entry);
    if (took == 0) break;
    data.remove_prefix(took);
  }
  if (!entry.empty()) entries.push_back(std::move(entry));
  return entries;
}

bool StreamParser::takeHeaderLine(std::string_view line) {
  switch (headerLines_) {
    case 0:
      identifier_ = line;
      return true;
    case 1:
      unitId_ = line;
      return true;
    case 2: {  // a syslog priority, facility included (LOG_DAEMON | LOG_INFO is 30)
      if (line.empty() || line.size() > 3) return false;
      int value = 0;
      for (char c : line) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
      }
      priority_ = value & 7;
      facility_ = value >> 3;
      return true;
    }
    default: {
      int b = parseBoolean(line);
      if (headerLines_ == 3) levelPrefix_ = b == 1;
      return b >= 0;
    }
  }
}

void StreamParser::takeLine(std::string_view line, std::vector<Entry>* out) {
  if (broken_) return;
  if (headerLines_ < 7) {
    if (!takeHeaderLine(line)) broken_ = true;
    ++headerLines_;
    return;
  }
  int priority = priority_;
  if (levelPrefix_) takeLevelPrefix(&line, &priority);
  Entry entry{{"MESSAGE", std::string(line)}, {"PRIORITY", std::to_string(priority)}};
  if (facility_ != 0) entry.emplace_back("SYSLOG_FACILITY", std::to_string(facility_));
  if (!identifier_.empty()) entry.emplace_back("SYSLOG_IDENTIFIER", identifier_);
  out->push_back(std::move(entry));
}

std::vector<Entry> StreamParser::feed(std::string_view bytes) {
  std::vector<Entry> out;
  for (char c : bytes) {
    if (broken_) break;
    if (c == '\n' || c == '\0') {
      takeLine(pending_, &out);
      pending_.clear();
    } else {
      pending_.push_back(c);
      if (pending_.size() >= kMaxLine) {
        takeLine(pending_, &out);
        pending_.clear();
      }
    }
  }
  return out;
}

std::vector<Entry> StreamParser::finish() {
  std::vector<Entry> out;
  if (!pending_.empty()) takeLine(pending_, &out);
  pending_.clear();
  return out;
}

std::string toJson(const Entry& entry) {
  std::map<std::string_view, std::vector<std::string_view>> values;
  std::vector<std::string_view> order;
  for (const auto& [name, value] : entry) {
    auto& list = values[name];
    if (list.empty()) order.push_back(name);
    list.push_back(value);
  }
  std::string out = "{";
  for (std::string_view name : order) {
    if (out.size() > 1) out.push_back(',');
    appendJsonValue(&out, name);
    out.push_back(':');
    const auto& list = values[name];
    if (list.size() == 1) {
      appendJsonValue(&out, list[0]);
      continue;
    }
    out.push_back('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (i) out.push_back(',');
      appendJsonValue(&out, list[i]);
    }
    out.push_back(']');
  }
  out.push_back('}');
  return out;
}

}  // namespace sorv::test::journal
