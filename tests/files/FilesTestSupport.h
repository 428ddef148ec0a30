// Helpers of the file tests: folders on tmpfs (/dev/shm) beside the disk's temporary folder,
// and a snapshot of what a folder tree holds.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace sorv::test {

// A fresh folder under /dev/shm (tmpfs), removed with its contents when the object goes.
class ShmDir {
 public:
  ShmDir();
  ~ShmDir();
  ShmDir(const ShmDir&) = delete;
  ShmDir& operator=(const ShmDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Every entry below root: relative path → file bytes, or "<dir>" for a folder.
std::map<std::string, std::string> treeOf(const std::string& root);

// Sets the environment so that nothing touches the real home.
void useTemporaryHome(const std::string& folder);

}  // namespace sorv::test
