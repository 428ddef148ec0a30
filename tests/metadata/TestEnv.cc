// Points the defaults store and the log folder at temporary paths before any test runs.
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

const bool kEnvironmentSet = [] {
  std::string dir = (std::filesystem::temp_directory_path() / "sorvmeta.XXXXXX").string();
  if (!mkdtemp(dir.data())) return false;
  setenv("SORV_DEFAULTS", (dir + "/defaults.plist").c_str(), 1);
  setenv("SORV_LOG_DIR", (dir + "/logs").c_str(), 1);
  return true;
}();

}  // namespace
