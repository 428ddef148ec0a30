// A fresh temporary folder, removed with its contents when the object goes.
#pragma once

#include <string>

namespace sorv::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Writes bytes to path, creating missing parent folders; true on success.
bool writeFile(const std::string& path, const std::string& bytes);
// The whole file, or an empty string when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace sorv::test
