// A kiosk's settings file: `key = value` lines, checked as a whole before anything is stored.
// Every key is a setting of the agent with a kind and a range; a file with any problem (an
// unknown key, a value of the wrong kind or out of range, a bad line, bytes that are not UTF-8)
// changes nothing. The same rules judge values already in the store (`sorv-uploader --check`).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace sorv {

class DefaultsStore;

// Bounds of what is read: a larger file is refused whole, a longer line is a problem.
inline constexpr std::size_t kMaxSettingsFileBytes = 64 * 1024;
inline constexpr std::size_t kMaxSettingsLineBytes = 4 * 1024;

struct SettingsProblem {
  int line = 0;  // 0: the file as a whole
  std::string text;
};

struct ImportedSetting {
  std::string key;
  Value value;  // a text, a boolean, an integer or a real, as the agent reads the key
  int line = 0;
};

struct SettingsFile {
  std::vector<ImportedSetting> settings;  // in the file's order
  std::vector<SettingsProblem> problems;  // in the file's order; empty when the file is valid
  std::vector<std::string> warnings;      // said, but no reason to refuse the file
};

// Parses the text of a settings file (at most kMaxSettingsFileBytes).
// `# ...` lines and blank lines are skipped; `key = value` sets key. A value is the rest of
// the line trimmed, or the text between double quotes when it is quoted; yes/no/true/false in
// any letter case for switches; a decimal number for numbers. A leading "~/" in a folder is
// the home folder.
SettingsFile parseSettingsText(std::string_view text);
// Reads path (a regular file, at most kMaxSettingsFileBytes) and parses it. A file that other
// users may read or write (it holds the site's password) gets a warning that says chmod 600.
SettingsFile readSettingsFile(const std::string& path);

// Stores every setting of a file without problems in store and writes the store to disk.
// False with *err when the file has problems (nothing is stored) or the write failed.
bool applySettings(const SettingsFile& file, DefaultsStore& store, std::string* err);

// What is wrong with value as the stored value of key, in words ("is not a whole number
// ..."); nullopt when it is valid. Stored switches may also be the texts "yes"/"no" and
// numbers may be numeric texts, as other writers of the store leave them.
std::optional<std::string> storedSettingProblem(const std::string& key, const Value& value);
// Whether the settings file takes key; the keys it takes, in a fixed order.
bool isImportableSetting(const std::string& key);
std::vector<std::string> importableSettingKeys();
// The value as printed back to the operator; the password is masked.
std::string settingDisplayText(const std::string& key, const Value& value);

}  // namespace sorv
