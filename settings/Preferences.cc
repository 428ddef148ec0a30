#include "settings/Preferences.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <mutex>

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Plist.h"
#include "settings/DefaultsStore.h"

namespace sorv {

const char* const sPrefLocalMasterMirrorSiteFolder = "prefLocalMasterMirrorSiteFolder";
const char* const sPrefLocalSourceUploadFolder = "prefLocalSourceUploadFolder";
const char* const sUserLoginName = "userLoginName";
const char* const sUserLoginPassword = "userLoginPassword";
const char* const sPrefCreateEncapsulatingFolder = "prefCreateEncapsulatingFolder";
const char* const sPrefShowPreviewWhenUploading = "prefShowPreviewWhenUploading";
const char* const sPrefDeleteEmptyFtpFolders = "prefDeleteEmptyFtpFolders";
const char* const sPrefUseEventName = "prefUseEventName";
const char* const sPrefUserEnteredEventName = "userEnteredEventName";
const char* const sPrefAutoSynchronize = "prefAutoSynchronize";
const char* const sPrefSecondsBetweenScans = "prefSecondsBetweenScans";
const char* const sPrefUseDoDeleteOldPhotos = "prefDoUseDeleteOldPhotos";
const char* const sPrefDaysOldBeforeDeleting = "prefDaysOldBeforeDeleting";
const char* const sPrefShowWindowAtStartup = "prefShowWindowAtStartup";
const char* const sPrefAutoQuitAndRelaunchPerIteration = "prefAutoQuitAndRelaunchPerIteration";
const char* const sPrefDeleteServerItemFirst = "prefDeleteServerItemFirst";
const char* const sPrefAutoStartUploadAtStartup = "prefAutoStartUploadAtStartup";
const char* const sPrefDoCopyOldFtpPref = "prefDoCopyOldFtpPref";
const char* const sPrefVyrFuseAction = "prefVyrFuseAction";
const char* const sPrefVyrURL = "prefVyrURL";
const char* const sPrefMetaData = "prefMetaData";
const char* const sPrefFormBaseIdFromFileName = "prefFormBaseIdFromFileName";
const char* const sPrefUploadMovie = "prefUploadMovie";
const char* const sPrefUploadTimeOut = "prefUploadTimeOut";
const char* const sPrefDoContinueAfterFailedUpload = "prefDoContinueAfterFailedUpload";
const char* const sPrefDoContinueAfterFailedUploadSecs = "prefDoContinueAfterFailedUploadSecs";
const char* const sPrefDoCheckOrders = "prefDoCheckOrders";
const char* const sPrefMinutesForCheckOrders = "prefMinutesForCheckOrders";
const char* const sPrefCheckHiResOrderFuseAction = "prefCheckHiResOrderFuseAction";
const char* const sPrefUploadHiResOrderFuseAction = "prefUploadHiResOrderFuseAction";
const char* const sPrefVyrHiResAlternatePath1 = "prefVyrHiResAlternatePath1";
const char* const sPrefSearchPathMethodTag = "prefSearchPathMethodTag";
const char* const sPrefAllowRootVolumeSelections = "prefAllowRootVolumeSelections";
const char* const sPrefIsValidLocalSourceUploadFolder = "prefIsValidLocalSourceUploadFolder";
const char* const sPrefIsValidLocalMasterMirrorSiteFolder =
    "prefIsValidLocalMasterMirrorSiteFolder";
const char* const sPrefIsValidVyrHiResAlternatePath1 = "prefIsValidVyrHiResAlternatePath1";
const char* const sPrefs_DaysToSaveLogs = "prefDaysToSaveLogs";
const char* const sPrefDoRedirectNSLog = "prefDoRedirectNSLog";

namespace {

DefaultsStore& store() {
  return DefaultsStore::standard();
}

std::optional<std::string> stringRead(const char* key) {
  return store().stringForKey(key);
}
bool boolRead(const char* key) {
  return store().boolForKey(key);
}

// Reads the boolean; a key in neither domain gets the answer (false) stored explicitly, so
// that preference files saved later carry it.
bool boolReadWithWriteBack(const char* key) {
  DefaultsStore& s = store();
  bool value = s.boolForKey(key);
  if (!s.objectForKey(key)) s.setBool(value, key);
  return value;
}

std::mutex gInitialValuesMutex;
Dict gInitialValues;

std::mutex gServedMutex;
std::optional<std::string> gServedSourceFolder;

}  // namespace

std::optional<std::string> Preferences::getLocalSourceUploadFolder() {
  if (auto served = servedSourceFolder()) return served;
  return stringRead(sPrefLocalSourceUploadFolder);
}

void Preferences::setServedSourceFolder(const std::optional<std::string>& folder) {
  std::lock_guard<std::mutex> lock(gServedMutex);
  gServedSourceFolder = folder && !folder->empty() ? folder : std::nullopt;
}

std::optional<std::string> Preferences::servedSourceFolder() {
  std::lock_guard<std::mutex> lock(gServedMutex);
  return gServedSourceFolder;
}

std::optional<std::string> Preferences::getLocalMasterMirrorSiteFolder() {
  return stringRead(sPrefLocalMasterMirrorSiteFolder);
}

std::optional<std::string> Preferences::getLocalProblemUploadFolder() {
  std::optional<std::string> mirror = getLocalMasterMirrorSiteFolder();
  if (!mirror) return std::nullopt;
  return appendingPathComponent(deletingLastPathComponent(*mirror), "Problem Folder");
}

std::optional<std::string> Preferences::getCurUserLoginName() {
  return stringRead(sUserLoginName);
}

std::optional<std::string> Preferences::getCurUserLoginPassword() {
  return stringRead(sUserLoginPassword);
}

std::optional<std::string> Preferences::getVyrFuseAction() {
  return stringRead(sPrefVyrFuseAction);
}

std::optional<std::string> Preferences::getPrefVyrURL() {
  return stringRead(sPrefVyrURL);
}

std::optional<std::string> Preferences::getPrefMetaData() {
  return stringRead(sPrefMetaData);
}

std::optional<std::string> Preferences::getPrefCheckHiResOrderFuseAction() {
  return stringRead(sPrefCheckHiResOrderFuseAction);
}

std::optional<std::string> Preferences::getPrefUploadHiResOrderFuseAction() {
  return stringRead(sPrefUploadHiResOrderFuseAction);
}

std::optional<std::string> Preferences::getPrefVyrHiResAlternatePath1() {
  return stringRead(sPrefVyrHiResAlternatePath1);
}

bool Preferences::getPrefShowPreviewWhenUploading() {
  return boolRead(sPrefShowPreviewWhenUploading);
}

bool Preferences::getPrefDeleteEmptyFtpFolders() {
  return boolReadWithWriteBack(sPrefDeleteEmptyFtpFolders);
}

bool Preferences::getDoAutoSynchronize() {
  return boolReadWithWriteBack(sPrefAutoSynchronize);
}

bool Preferences::getPrefUseDoDeleteOldPhotos() {
  return boolReadWithWriteBack(sPrefUseDoDeleteOldPhotos);
}

bool Preferences::getPrefShowWindowAtStartup() {
  return boolReadWithWriteBack(sPrefShowWindowAtStartup);
}

bool Preferences::getAutoStartUploadAtStartup() {
  return boolReadWithWriteBack(sPrefAutoStartUploadAtStartup);
}

// The event name is always used, whatever the stored value says.
bool Preferences::getUseEventName() {
  return true;
}

bool Preferences::getPrefDoCheckOrders() {
  return boolRead(sPrefDoCheckOrders);
}

bool Preferences::getPrefAllowRootVolumeSelections() {
  return boolRead(sPrefAllowRootVolumeSelections);
}

bool Preferences::getPrefFormBaseIdFromFileName() {
  return boolRead(sPrefFormBaseIdFromFileName);
}

bool Preferences::getDoRedirectNSLog() {
  return boolRead(sPrefDoRedirectNSLog);
}

bool Preferences::getPrefAlwaysSearchOriginalPath() {
  std::int16_t tag = getPrefSearchPathMethodTag();
  return tag == 1 || tag == 3;
}

bool Preferences::getPrefDoUseVyrHiResAlternatePath1() {
  std::int16_t tag = getPrefSearchPathMethodTag();
  return tag == 2 || tag == 3;
}

std::optional<Value> Preferences::getPrefSecondsBetweenScans() {
  return store().objectForKey(sPrefSecondsBetweenScans);
}

std::optional<Value> Preferences::getPrefDaysOldBeforeDeleting() {
  return store().objectForKey(sPrefDaysOldBeforeDeleting);
}

std::optional<Value> Preferences::getPrefMinutesForCheckOrders() {
  return store().objectForKey(sPrefMinutesForCheckOrders);
}

std::int16_t Preferences::getPrefSearchPathMethodTag() {
  // Narrowed as a 16-bit integer would be: 65537 becomes 1.
  return static_cast<std::int16_t>(store().integerForKey(sPrefSearchPathMethodTag));
}

std::int32_t Preferences::getDaysToSaveLogs() {
  DefaultsStore& s = store();
  long long v = s.integerForKey(sPrefs_DaysToSaveLogs);
  long long clamped = v;
  if (v <= 0)
    clamped = 14;
  else if (v <= 2)
    clamped = 3;
  else if (v > 90)
    clamped = 90;
  if (clamped != v) s.setInteger(clamped, sPrefs_DaysToSaveLogs);
  return static_cast<std::int32_t>(clamped);
}

float Preferences::getUploadTimeOut() {
  std::optional<Value> v = store().objectForKey(sPrefUploadTimeOut);
  double seconds = 0;
  if (v && (v->isNumber() || v->asString())) seconds = v->doubleValue();
  if (!(seconds > 0)) return 500.0f;
  if (seconds > FLT_MAX) return FLT_MAX;
  return static_cast<float>(seconds);
}

void Preferences::setupFactoryDefaults() {
  std::optional<std::string> path = Bundle::pathForResource("FactoryDefault", "plist");
  NSLog("userDefaultsValuesPath = [%s]", path ? path->c_str() : "(null)");
  std::optional<Value> loaded;
  if (path) loaded = plist::parseFile(*path);
  const Dict* dict = loaded ? loaded->asDict() : nullptr;
  if (dict) {
    NSLog("About to register factory default dictionary:\n%s\n\n", loaded->description().c_str());
    store().registerDefaults(*dict);
  } else {
    NSLog("userDefaultsValuesDict == NIL!!!!");
  }

  Dict initial;
  if (dict) {
    for (const std::string& key : prefKeyNameArray()) {
      auto it = dict->find(key);
      if (it != dict->end()) initial[key] = it->second;
    }
  }
  std::lock_guard<std::mutex> l(gInitialValuesMutex);
  gInitialValues = std::move(initial);
}

const std::vector<std::string>& Preferences::prefKeyNameArray() {
  static const std::vector<std::string> keys = {
      sPrefLocalMasterMirrorSiteFolder,
      sPrefLocalSourceUploadFolder,
      sUserLoginName,
      sUserLoginPassword,
      sPrefCreateEncapsulatingFolder,
      sPrefShowPreviewWhenUploading,
      sPrefDeleteEmptyFtpFolders,
      sPrefUseEventName,
      sPrefUserEnteredEventName,
      sPrefAutoSynchronize,
      sPrefSecondsBetweenScans,
      sPrefUseDoDeleteOldPhotos,
      sPrefDaysOldBeforeDeleting,
      sPrefShowWindowAtStartup,
      sPrefAutoQuitAndRelaunchPerIteration,
      sPrefDeleteServerItemFirst,
      sPrefAutoStartUploadAtStartup,
      sPrefDoCopyOldFtpPref,
  };
  return keys;
}

Dict Preferences::initialValues() {
  std::lock_guard<std::mutex> l(gInitialValuesMutex);
  return gInitialValues;
}

bool isValidYesNoString(const std::optional<std::string>& text) {
  if (!text) return false;
  auto equalsIgnoreCase = [](const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
      if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return i == a.size() && b[i] == '\0';
  };
  return equalsIgnoreCase(*text, "yes") || equalsIgnoreCase(*text, "no");
}

bool saveSettingToUserDefaults(const Value& value, const std::string& key) {
  std::optional<std::string> text = value.asString() ? value.stringValue() : std::nullopt;
  NSLog("SETTING parameterValue=[%s] for parameterName=[%s]",
        text ? text->c_str() : value.description().c_str(), key.c_str());
  DefaultsStore& s = store();
  s.setObject(value, key);
  s.synchronize();
  return true;
}

}  // namespace sorv
