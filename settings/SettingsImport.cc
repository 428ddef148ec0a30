#include "settings/SettingsImport.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/Paths.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv {

namespace {

// After this many problems the rest of the file is not looked at.
constexpr std::size_t kMaxProblems = 100;
// The text the event-name field shows before one is entered; never a real event.
constexpr const char* kEventNamePlaceholder = "turnOnCheckBoxIfUsingThisOption";
constexpr const char* kNoValue =
    "has no value: fill it in, or put # before the line to keep the stored one";

enum class Kind { Text, Secret, EventName, Folder, SiteAddress, Switch, WholeNumber, Number };

struct Rule {
  const char* key;
  Kind kind;
  double min = 0, max = 0;  // numbers only
  const char* unit = "";    // numbers only: "seconds", "days", ...
};

// The settings a settings file takes, with the range the agent works with.
const Rule kRules[] = {
    {"userLoginName", Kind::Text},
    {"userLoginPassword", Kind::Secret},
    {"userEnteredEventName", Kind::EventName},
    {"prefLocalMasterMirrorSiteFolder", Kind::Folder},
    {"prefLocalSourceUploadFolder", Kind::Folder},
    {"prefVyrURL", Kind::SiteAddress},
    {"prefUploadTimeOut", Kind::Number, 1, 86400, "seconds"},
    {"prefAutoSynchronize", Kind::Switch},
    {"prefSecondsBetweenScans", Kind::Number, 1, 86400, "seconds"},
    {"prefAutoStartUploadAtStartup", Kind::Switch},
    {"prefDoCheckOrders", Kind::Switch},
    {"prefMinutesForCheckOrders", Kind::Number, 1, 1440, "minutes"},
    {"prefCheckHiResOrderFuseAction", Kind::Text},
    {"prefUploadHiResOrderFuseAction", Kind::Text},
    {"prefSearchPathMethodTag", Kind::WholeNumber, 0, 3},
    {"prefVyrHiResAlternatePath1", Kind::Folder},
    {"prefDoUseDeleteOldPhotos", Kind::Switch},
    {"prefDaysOldBeforeDeleting", Kind::WholeNumber, 1, 32767, "days"},
    {"prefDeleteEmptyFtpFolders", Kind::Switch},
    {"prefDaysToSaveLogs", Kind::WholeNumber, 3, 90, "days"},
    {"prefDoRedirectNSLog", Kind::Switch},
    {"prefVyrFuseAction", Kind::Text},
    {"prefMetaData", Kind::Text},
    {"prefUploadMovie", Kind::Switch},
    {"prefFormBaseIdFromFileName", Kind::Switch},
    {"prefDoContinueAfterFailedUpload", Kind::Switch},
    {"prefDoContinueAfterFailedUploadSecs", Kind::Number, 0, 3600, "seconds"},
    {"prefShowPreviewWhenUploading", Kind::Switch},
    {"prefShowWindowAtStartup", Kind::Switch},
};

const Rule* ruleFor(std::string_view key) {
  for (const Rule& r : kRules)
    if (key == r.key) return &r;
  return nullptr;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Whether s is well-formed UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
bool isUtf8(std::string_view s) {
  static const std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    std::uint32_t cp = c;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      extra = 1, cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      extra = 2, cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    if (cp < kSmallest[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += extra + 1;
  }
  return true;
}

bool hasControl(std::string_view s) {
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
  }
  return false;
}

// A decimal number as a person writes it: sign, digits, an optional fraction. Not "1e3",
// "0x10", "inf" or "nan", which strtod would also take.
bool isDecimal(std::string_view s, bool whole) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (digits == 0) return false;
  if (i < s.size() && s[i] == '.' && !whole) {
    ++i;
    std::size_t fraction = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++fraction;
    if (fraction == 0) return false;
  }
  return i == s.size() && s.size() <= 32;
}

bool equalsNoCase(std::string_view a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

std::string numberText(double d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  return buf;
}

std::string rangeText(const Rule& r) {
  std::string text = numberText(r.min) + " to " + numberText(r.max);
  if (*r.unit) text += std::string(" ") + r.unit;
  return text;
}

// The host part of an http(s) address: between "://" and the first '/', '?' or '#', without
// a user part.
std::string_view hostPart(std::string_view url) {
  auto start = url.find("://");
  if (start == std::string_view::npos) return {};
  std::string_view rest = url.substr(start + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  return rest;
}

// What is wrong with a text for a text-like rule; nullopt when it is fine.
std::optional<std::string> textProblem(const Rule& r, std::string_view text) {
  if (text.empty()) return std::string(kNoValue);
  if (!isUtf8(text)) return std::string("holds bytes that are not UTF-8 text");
  if (hasControl(text)) return std::string("holds a control character");
  switch (r.kind) {
    case Kind::EventName:
      if (trimmed(text).empty()) return std::string("is blank");
      if (equalsNoCase(trimmed(text), kEventNamePlaceholder))
        return std::string("is the placeholder text, not an event name");
      return std::nullopt;
    case Kind::Folder:
      if (text[0] != '/' && text != "~" && !text.starts_with("~/"))
        return "\"" + std::string(text) + "\" is not a full path (begin it with / or ~/)";
      return std::nullopt;
    case Kind::SiteAddress: {
      bool web = (text.size() > 7 && strncasecmp(text.data(), "http://", 7) == 0) ||
                 (text.size() > 8 && strncasecmp(text.data(), "https://", 8) == 0);
      if (!web) return "\"" + std::string(text) + "\" does not begin with https:// (or http://)";
      if (text.find_first_of(" \t") != std::string_view::npos)
        return "\"" + std::string(text) + "\" holds a blank";
      if (hostPart(text).empty()) return "\"" + std::string(text) + "\" names no host";
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::string> numberProblem(const Rule& r, double d, const std::string& shown) {
  if (!std::isfinite(d) || d < r.min || d > r.max)
    return shown + " is out of range (" + rangeText(r) + ")";
  if (r.kind == Kind::WholeNumber && d != std::floor(d))
    return shown + " is not a whole number (" + rangeText(r) + ")";
  return std::nullopt;
}

// The value of a line's text for rule r, or the problem with it.
std::optional<std::string> parseValue(const Rule& r, std::string_view text, Value* out) {
  switch (r.kind) {
    case Kind::Switch:
      if (equalsNoCase(text, "yes") || equalsNoCase(text, "true")) {
        *out = Value(true);
        return std::nullopt;
      }
      if (equalsNoCase(text, "no") || equalsNoCase(text, "false")) {
        *out = Value(false);
        return std::nullopt;
      }
      if (text.empty()) return std::string(kNoValue) + " (yes or no)";
      return "\"" + std::string(text) + "\" is not yes or no";
    case Kind::WholeNumber:
    case Kind::Number: {
      bool whole = r.kind == Kind::WholeNumber;
      if (text.empty()) return std::string(kNoValue) + " (" + rangeText(r) + ")";
      if (!isDecimal(text, whole) || !isUtf8(text))
        return "\"" + std::string(text) + "\" is not " + (whole ? "a whole number" : "a number") +
               " (" + rangeText(r) + ")";
      std::string digits(text);
      double d = std::strtod(digits.c_str(), nullptr);
      if (auto problem = numberProblem(r, d, digits)) return problem;
      *out = d == std::floor(d) ? Value(static_cast<long long>(d)) : Value(d);
      return std::nullopt;
    }
    default: {
      if (auto problem = textProblem(r, text)) return problem;
      std::string value(text);
      if (r.kind == Kind::Folder && value[0] == '~') value = homeFolder() + value.substr(1);
      if (r.kind == Kind::EventName) value = std::string(trimmed(value));
      *out = Value(std::move(value));
      return std::nullopt;
    }
  }
}

// The closest known key, for a key that differs only in letter case.
std::string suggestionFor(std::string_view key) {
  for (const Rule& r : kRules)
    if (equalsNoCase(key, r.key)) return std::string(" (did you mean ") + r.key + "?)";
  return "";
}

bool isKeyText(std::string_view key) {
  if (key.empty() || key.size() > 64) return false;
  for (char c : key)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '.' || c == '-'))
      return false;
  return true;
}

// The value part of a line: the text between double quotes when it is quoted.
std::optional<std::string> unquote(std::string_view raw, std::string_view* out) {
  if (raw.empty() || raw.front() != '"') {
    *out = raw;
    return std::nullopt;
  }
  if (raw.size() < 2 || raw.back() != '"') return std::string("opens a quote it does not close");
  *out = raw.substr(1, raw.size() - 2);
  return std::nullopt;
}

class Parser {
 public:
  SettingsFile run(std::string_view text) {
    if (text.size() > kMaxSettingsFileBytes) {
      problem(0, "the file is larger than " + std::to_string(kMaxSettingsFileBytes) + " bytes");
      return std::move(file_);
    }
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    int number = 0;
    while (!text.empty() && file_.problems.size() < kMaxProblems) {
      auto end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      parseLine(++number, line);
    }
    if (!text.empty()) problem(number, "too many problems; the rest of the file was not read");
    return std::move(file_);
  }

 private:
  void problem(int line, std::string text) { file_.problems.push_back({line, std::move(text)}); }

  void parseLine(int number, std::string_view line) {
    if (line.size() > kMaxSettingsLineBytes)
      return problem(number,
                     "the line is longer than " + std::to_string(kMaxSettingsLineBytes) + " bytes");
    std::string_view body = trimmed(line);
    if (body.empty() || body.front() == '#') return;
    auto eq = body.find('=');
    if (eq == std::string_view::npos)
      return problem(number, "not a \"key = value\" line (a comment begins with #)");
    std::string_view key = trimmed(body.substr(0, eq));
    if (!isKeyText(key) || !isUtf8(key))
      return problem(number, "\"" + printable(key) + "\" is not a setting's name");
    const Rule* rule = ruleFor(key);
    if (!rule)
      return problem(number, "unknown setting \"" + std::string(key) + "\"" + suggestionFor(key));
    std::string name(key);
    if (auto first = seen_.find(name); first != seen_.end())
      return problem(number,
                     name + " is set again (first on line " + std::to_string(first->second) + ")");
    seen_[name] = number;
    std::string_view text;
    if (auto bad = unquote(trimmed(body.substr(eq + 1)), &text))
      return problem(number, name + ": the value " + *bad);
    Value value;
    if (auto bad = parseValue(*rule, text, &value)) return problem(number, name + ": " + *bad);
    file_.settings.push_back({name, std::move(value), number});
  }

  // A key as shown in a problem: at most 64 bytes, odd bytes as '?'.
  static std::string printable(std::string_view s) {
    std::string out;
    for (char c : s.substr(0, 64))
      out +=
          (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) ? '?' : c;
    return out;
  }

  SettingsFile file_;
  std::map<std::string, int> seen_;
};

}  // namespace

SettingsFile parseSettingsText(std::string_view text) {
  return Parser().run(text);
}

SettingsFile readSettingsFile(const std::string& path) {
  SettingsFile refused;
  auto fail = [&](const std::string& why) {
    refused.problems.push_back({0, why});
    return refused;
  };
  // Non-blocking, so that a named pipe given by mistake does not hang the command.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fail(std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail("not a regular file");
  }
  std::string bytes;
  char buf[8192];
  while (bytes.size() <= kMaxSettingsFileBytes) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      return fail(std::strerror(e));
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  SettingsFile parsed = parseSettingsText(bytes);
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    parsed.warnings.push_back(std::string("other users of this computer can read or change it "
                                          "(mode ") +
                              mode +
                              "), and it holds the site's password; make it yours alone: "
                              "chmod 600 " +
                              path);
  }
  return parsed;
}

bool applySettings(const SettingsFile& file, DefaultsStore& store, std::string* err) {
  if (!file.problems.empty()) {
    if (err) *err = "the file has problems; nothing was stored";
    return false;
  }
  for (const ImportedSetting& s : file.settings) store.setObject(s.value, s.key);
  if (!store.synchronize()) {
    if (err) *err = "the settings could not be written to " + defaultsFilePath();
    return false;
  }
  return true;
}

std::optional<std::string> storedSettingProblem(const std::string& key, const Value& value) {
  const Rule* rule = ruleFor(key);
  if (!rule) return std::string("is not a setting of the settings file");
  switch (rule->kind) {
    case Kind::Switch:
      if (value.isNumber()) return std::nullopt;
      if (const std::string* s = value.asString()) {
        if (equalsNoCase(trimmed(*s), "yes") || equalsNoCase(trimmed(*s), "no"))
          return std::nullopt;
        return "\"" + *s + "\" is not yes or no";
      }
      return std::string("is not yes or no");
    case Kind::WholeNumber:
    case Kind::Number: {
      double d = 0;
      if (const bool* b = value.asBoolean()) {
        return std::string("is ") + (*b ? "yes" : "no") + ", not a number (" + rangeText(*rule) +
               ")";
      } else if (value.isNumber()) {
        d = value.doubleValue();
      } else if (const std::string* s = value.asString()) {
        if (!isDecimal(trimmed(*s), false))
          return "\"" + *s + "\" is not a number (" + rangeText(*rule) + ")";
        d = value.doubleValue();
      } else {
        return "is not a number (" + rangeText(*rule) + ")";
      }
      return numberProblem(*rule, d, value.stringValue().value_or(numberText(d)));
    }
    default: {
      const std::string* s = value.asString();
      if (!s) return std::string("is not a text");
      return textProblem(*rule, *s);
    }
  }
}

bool isImportableSetting(const std::string& key) {
  return ruleFor(key) != nullptr;
}

std::vector<std::string> importableSettingKeys() {
  std::vector<std::string> keys;
  for (const Rule& r : kRules) keys.emplace_back(r.key);
  return keys;
}

std::string settingDisplayText(const std::string& key, const Value& value) {
  if (key == sUserLoginPassword) return "********";
  if (const bool* b = value.asBoolean()) return *b ? "yes" : "no";
  if (auto text = value.stringValue()) return *text;
  return value.description();
}

}  // namespace sorv
