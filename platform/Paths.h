// Where the agent keeps its files on Linux.
#pragma once

#include <string>

namespace sorv {

// $HOME, else the password database's home folder.
std::string homeFolder();
// The XDG folder named by `var`, else ~/fallbackUnderHome.
std::string xdgFolder(const char* var, const char* fallbackUnderHome);
// $SORV_LOG_DIR, else $XDG_STATE_HOME/Sorv (~/.local/state/Sorv). Not created here.
std::string logFolderPath();
// $SORV_DEFAULTS, else $XDG_CONFIG_HOME/Sorv/com.quenmor.SorvUploader.plist.
std::string defaultsFilePath();
// $XDG_DOCUMENTS_DIR, else ~/Documents.
std::string documentsFolderPath();
// Creates path and its missing parents (mode 0755); true when it exists afterwards.
bool createFolderWithParents(const std::string& path);

// Path helpers on texts, as the platform's path methods behave.
std::string lastPathComponent(const std::string& path);
std::string deletingLastPathComponent(const std::string& path);
std::string appendingPathComponent(const std::string& path, const std::string& component);
std::string pathExtension(const std::string& path);               // without the dot
std::string deletingPathExtension(const std::string& path);
std::string appendingPathExtension(const std::string& path, const std::string& ext);

}  // namespace sorv
