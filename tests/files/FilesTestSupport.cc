#include "tests/files/FilesTestSupport.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/TempDir.h"

namespace sorv::test {

std::map<std::string, std::string> treeOf(const std::string& root) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = std::filesystem::relative(it->path(), root).string();
    tree[rel] = it->is_directory() ? "<dir>" : readFile(it->path().string());
  }
  return tree;
}

void useTemporaryHome(const std::string& folder) {
  setenv("SORV_DEFAULTS", (folder + "/defaults.plist").c_str(), 1);
  setenv("SORV_LOG_DIR", (folder + "/logs").c_str(), 1);
}

}  // namespace sorv::test
