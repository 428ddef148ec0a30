#include "settings/PreferenceFiles.h"

#include <cstring>

#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Plist.h"
#include "platform/fs/AtomicWrite.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv {

namespace {

constexpr std::size_t kMaxPrefFileBytes = 1u << 20;
constexpr const char* kPlistSuffix = ".plist";

enum class ValueKind { Text, YesNo, Number };

ValueKind kindOf(const std::string& key) {
  const char* const textKeys[] = {sPrefLocalMasterMirrorSiteFolder, sPrefLocalSourceUploadFolder,
                                  sUserLoginName, sUserLoginPassword, sPrefUserEnteredEventName};
  for (const char* k : textKeys)
    if (key == k) return ValueKind::Text;
  if (key == sPrefSecondsBetweenScans || key == sPrefDaysOldBeforeDeleting)
    return ValueKind::Number;
  return ValueKind::YesNo;
}

// Booleans may be stored as the texts "yes"/"no" (remote control) or as numbers.
bool hasTypeFor(const std::string& key, const Value& v) {
  switch (kindOf(key)) {
    case ValueKind::Text:
      return v.asString() != nullptr;
    case ValueKind::Number:
      return v.asInteger() || v.asReal();
    case ValueKind::YesNo:
      return v.isNumber() || (v.asString() && isValidYesNoString(*v.asString()));
  }
  return false;
}

bool endsWith(const std::string& s, const char* suffix) {
  std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

}  // namespace

bool PreferenceFiles::savePrefsToFile(const std::string& path, std::string* err) {
  NSLog("Saving Pref to FileName = [%s]", path.c_str());
  auto& store = DefaultsStore::standard();
  Dict values;
  for (const auto& key : Preferences::prefKeyNameArray())
    if (auto v = store.objectForKey(key)) values[key] = *v;
  std::string why;
  int rc = 0;
  if (!plist::writeFileAtomically(path, Value(std::move(values)), &why, 0600, &rc)) {
    // A path that is not a regular file is said once, however often it is tried.
    if (!isAtomicWriteRefusal(rc) || firstRefusalOf(path, rc))
      NSLog("Could not save the preferences to [%s]: %s", path.c_str(), why.c_str());
    if (err) *err = why;
    return false;
  }
  return true;
}

bool PreferenceFiles::loadPrefsFromFile(const std::string& path, std::string* err, int* loaded) {
  NSLog("Loading Pref from FileName = [%s]", path.c_str());
  if (loaded) *loaded = 0;
  std::string why;
  auto parsed = plist::parseFile(path, &why, kMaxPrefFileBytes);
  const Dict* file = parsed ? parsed->asDict() : nullptr;
  if (!file) {
    if (parsed) why = "the top level is not a dictionary";
    NSLog("Not a preference file [%s]: %s", path.c_str(), why.c_str());
    if (err) *err = why;
    return false;
  }
  auto& store = DefaultsStore::standard();
  const auto& keys = Preferences::prefKeyNameArray();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Value* v = dictGet(*file, keys[i]);
    if (!v) {
      NSLog("%02zu => [%s] = [NIL]", i, keys[i].c_str());
      continue;
    }
    if (!hasTypeFor(keys[i], *v)) {
      NSLog("%02zu => [%s] = [%s] skipped: not a value of this setting's type", i, keys[i].c_str(),
            v->description().c_str());
      continue;
    }
    NSLog("%02zu => [%s] = [%s]", i, keys[i].c_str(), v->description().c_str());
    store.setObject(*v, keys[i]);
    if (loaded) ++*loaded;
  }
  return true;
}

std::string PreferenceFiles::userEnteredFilename(const std::string& panelTitle,
                                                 const std::string& name) {
  if (panelTitle != sSavePanelTitle || endsWith(name, kPlistSuffix)) return name;
  return name + kPlistSuffix;
}

bool PreferenceFiles::isValidFilename(const std::string& panelTitle,
                                      const std::optional<std::string>& name) {
  if (panelTitle != sSavePanelTitle || !name) return true;
  return endsWith(*name, kPlistSuffix);
}

std::optional<std::string> PreferenceFiles::promptForSelectionChange(
    const std::string& panelTitle, const std::optional<std::string>& filename) {
  if (panelTitle == sSavePanelTitle) return std::nullopt;
  if (!filename || filename->empty()) return std::string(kLoadPanelPrompt);
  return "Choose \"" + lastPathComponent(*filename) + "\"";
}

std::optional<std::string> PreferenceFiles::promptForDirectoryChange(
    const std::string& panelTitle, const std::optional<std::string>& filename) {
  if (panelTitle == sSavePanelTitle || !filename || filename->empty()) return std::nullopt;
  return "Choose \"" + lastPathComponent(*filename) + "\"";
}

}  // namespace sorv
