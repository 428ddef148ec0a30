// Preference files: the agent's 18 listed settings saved to, and loaded from, a property list
// whose top level is a dictionary. Also the name and prompt rules of the file panels.
#pragma once

#include <optional>
#include <string>

namespace sorv {

inline constexpr const char* sSavePanelTitle = "SavePanel";
inline constexpr const char* kSavePanelMessage = "Saving the Current Preferences to File...";
inline constexpr const char* kLoadPanelMessage = "Please Choose A Preference File...";
inline constexpr const char* kLoadPanelPrompt = "Select";

class PreferenceFiles {
 public:
  // Writes every listed key that has a value (user value over factory default) to path as an
  // XML property list (mode 0600: it holds the password), through a temporary file that then
  // replaces path; a failed save leaves path as it was. False with a reason on failure.
  static bool savePrefsToFile(const std::string& path, std::string* err = nullptr);
  // Merges the listed keys found in the file (XML or binary) into the store; other keys are
  // ignored and keys the file lacks keep their values. A value of the wrong type for its key
  // is skipped with a log line. False with a reason when the file is not a property-list
  // dictionary; nothing is loaded then. Gives the number of keys stored in *loaded.
  static bool loadPrefsFromFile(const std::string& path, std::string* err = nullptr,
                                int* loaded = nullptr);

  // panel:userEnteredFilename:confirmed: — the save panel's name gets ".plist" unless it
  // ends in it (case-sensitive); other panels' names come back unchanged.
  static std::string userEnteredFilename(const std::string& panelTitle, const std::string& name);
  // panel:isValidFilename: — the save panel accepts only names ending in ".plist"; every
  // other panel, and a missing name, everything.
  static bool isValidFilename(const std::string& panelTitle,
                              const std::optional<std::string>& name);
  // panelSelectionDidChange: — the prompt for a panel whose current file is filename:
  // Choose "<last component>", or "Select" without one; nullopt for the save panel (no change).
  static std::optional<std::string> promptForSelectionChange(
      const std::string& panelTitle, const std::optional<std::string>& filename);
  // panel:directoryDidChange: — as above, but without a file name the prompt stays (nullopt).
  static std::optional<std::string> promptForDirectoryChange(
      const std::string& panelTitle, const std::optional<std::string>& filename);
};

}  // namespace sorv
