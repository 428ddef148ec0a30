// Every setting of the agent, read afresh from the defaults store on each call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace sorv {

extern const char* const sPrefLocalMasterMirrorSiteFolder;  // "prefLocalMasterMirrorSiteFolder"
extern const char* const sPrefLocalSourceUploadFolder;      // "prefLocalSourceUploadFolder"
extern const char* const sUserLoginName;                    // "userLoginName"
extern const char* const sUserLoginPassword;                // "userLoginPassword"
extern const char* const sPrefCreateEncapsulatingFolder;    // "prefCreateEncapsulatingFolder"
extern const char* const sPrefShowPreviewWhenUploading;     // "prefShowPreviewWhenUploading"
extern const char* const sPrefDeleteEmptyFtpFolders;        // "prefDeleteEmptyFtpFolders"
extern const char* const sPrefUseEventName;                 // "prefUseEventName"
extern const char* const sPrefUserEnteredEventName;         // "userEnteredEventName"
extern const char* const sPrefAutoSynchronize;              // "prefAutoSynchronize"
extern const char* const sPrefSecondsBetweenScans;          // "prefSecondsBetweenScans"
extern const char* const sPrefUseDoDeleteOldPhotos;         // "prefDoUseDeleteOldPhotos"
extern const char* const sPrefDaysOldBeforeDeleting;        // "prefDaysOldBeforeDeleting"
extern const char* const sPrefShowWindowAtStartup;          // "prefShowWindowAtStartup"
extern const char* const sPrefAutoQuitAndRelaunchPerIteration;
extern const char* const sPrefDeleteServerItemFirst;        // "prefDeleteServerItemFirst"
extern const char* const sPrefAutoStartUploadAtStartup;     // "prefAutoStartUploadAtStartup"
extern const char* const sPrefDoCopyOldFtpPref;             // "prefDoCopyOldFtpPref"
extern const char* const sPrefVyrFuseAction;                // "prefVyrFuseAction"
extern const char* const sPrefVyrURL;                       // "prefVyrURL"
extern const char* const sPrefMetaData;                     // "prefMetaData"
extern const char* const sPrefFormBaseIdFromFileName;       // "prefFormBaseIdFromFileName"
extern const char* const sPrefUploadMovie;                  // "prefUploadMovie"
extern const char* const sPrefUploadTimeOut;                // "prefUploadTimeOut"
extern const char* const sPrefDoContinueAfterFailedUpload;  // "prefDoContinueAfterFailedUpload"
extern const char* const sPrefDoContinueAfterFailedUploadSecs;
extern const char* const sPrefDoCheckOrders;               // "prefDoCheckOrders"
extern const char* const sPrefMinutesForCheckOrders;       // "prefMinutesForCheckOrders"
extern const char* const sPrefCheckHiResOrderFuseAction;   // "prefCheckHiResOrderFuseAction"
extern const char* const sPrefUploadHiResOrderFuseAction;  // "prefUploadHiResOrderFuseAction"
extern const char* const sPrefVyrHiResAlternatePath1;      // "prefVyrHiResAlternatePath1"
extern const char* const sPrefSearchPathMethodTag;         // "prefSearchPathMethodTag"
extern const char* const sPrefAllowRootVolumeSelections;   // "prefAllowRootVolumeSelections"
extern const char* const sPrefIsValidLocalSourceUploadFolder;
extern const char* const sPrefIsValidLocalMasterMirrorSiteFolder;
extern const char* const sPrefIsValidVyrHiResAlternatePath1;
extern const char* const sPrefs_DaysToSaveLogs;  // "prefDaysToSaveLogs"
extern const char* const sPrefDoRedirectNSLog;   // "prefDoRedirectNSLog"

// Static accessors over DefaultsStore::standard(); safe from any thread. Accessors that take
// an argument in the original design take none here.
class Preferences {
 public:
  // The served folder when one is set, else "prefLocalSourceUploadFolder".
  static std::optional<std::string> getLocalSourceUploadFolder();
  // The folder this process serves on every pass whatever the preference says (a service's
  // SORV_SOURCE_FOLDER); nullopt or "" clears it. The stored preference is left as it is.
  static void setServedSourceFolder(const std::optional<std::string>& folder);
  static std::optional<std::string> servedSourceFolder();
  static std::optional<std::string> getLocalMasterMirrorSiteFolder();
  static std::optional<std::string> getLocalProblemUploadFolder();  // sibling "Problem Folder"
  static std::optional<std::string> getCurUserLoginName();
  static std::optional<std::string> getCurUserLoginPassword();
  static std::optional<std::string> getVyrFuseAction();
  static std::optional<std::string> getPrefVyrURL();
  static std::optional<std::string> getPrefMetaData();
  static std::optional<std::string> getPrefCheckHiResOrderFuseAction();
  static std::optional<std::string> getPrefUploadHiResOrderFuseAction();
  static std::optional<std::string> getPrefVyrHiResAlternatePath1();

  static bool getPrefShowPreviewWhenUploading();
  static bool getPrefDeleteEmptyFtpFolders();  // write-back
  static bool getDoAutoSynchronize();          // write-back
  static bool getPrefUseDoDeleteOldPhotos();   // write-back
  static bool getPrefShowWindowAtStartup();    // write-back
  static bool getAutoStartUploadAtStartup();   // write-back
  static bool getUseEventName();               // always true
  static bool getPrefDoCheckOrders();
  static bool getPrefAllowRootVolumeSelections();
  static bool getPrefFormBaseIdFromFileName();
  static bool getDoRedirectNSLog();
  static bool getPrefAlwaysSearchOriginalPath();     // tag 1 or 3
  static bool getPrefDoUseVyrHiResAlternatePath1();  // tag 2 or 3

  // The stored object unchanged (number or text), or nullopt.
  static std::optional<Value> getPrefSecondsBetweenScans();
  static std::optional<Value> getPrefDaysOldBeforeDeleting();
  static std::optional<Value> getPrefMinutesForCheckOrders();

  static std::int16_t getPrefSearchPathMethodTag();
  static std::int32_t getDaysToSaveLogs();  // clamped to 3..90 (14 when unset), written back
  static float getUploadTimeOut();          // > 0, else 500

  // Registers "FactoryDefault.plist" of the bundle and builds the key list.
  static void setupFactoryDefaults();
  // The 18 keys of preference files and migration, in their fixed order.
  static const std::vector<std::string>& prefKeyNameArray();
  // The factory values of those keys as loaded by setupFactoryDefaults (absent keys left out).
  static Dict initialValues();
};

// True for "yes" or "no" in any letter case.
bool isValidYesNoString(const std::optional<std::string>& text);
// Logs, stores the value unchanged under key, synchronizes; true.
bool saveSettingToUserDefaults(const Value& value, const std::string& key);

}  // namespace sorv
