// The application bundle: Sorv-FTPUploader.app/Contents/{Info.plist,MacOS/,Resources/}.
#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv {

class Bundle {
 public:
  // The bundle that holds the running executable (found from /proc/self/exe: three levels
  // up from Contents/MacOS/<exe>). When the executable is not inside a bundle, the path set
  // with setMainBundlePath, else the build tree's bundle given at compile time.
  static std::string bundlePath();
  static void setMainBundlePath(const std::string& path);  // tests and tools

  static std::string resourcesPath();  // bundlePath()/Contents/Resources
  // bundlePath()/Contents/Resources/<name>.<type>, or nullopt when no such file exists.
  static std::optional<std::string> pathForResource(const std::string& name,
                                                    const std::string& type);
  // Contents/Info.plist as a dictionary (empty when unreadable). Read once.
  static const Dict& infoDictionary();
  // CFBundleDisplayName, else CFBundleName, else the executable's name.
  static std::string displayName();
};

}  // namespace sorv
