// A fresh temporary folder, removed with its contents when the object goes.
#pragma once

#include <string>

namespace sorv::test {

class TempDir {
 public:
  enum Where {
    kDisk,            // the temporary folder ($TMPDIR, else /tmp)
    kMemory,          // tmpfs (/dev/shm): another file system than the disk's
    kMemoryElseDisk,  // tmpfs where it can be written, else the disk's temporary folder
    kShortPath,       // /tmp itself, for sockets (a socket's path holds at most 107 bytes)
  };
  // Throws std::runtime_error when the folder cannot be made. The folder's name begins with
  // prefix.
  explicit TempDir(Where where = kDisk, const std::string& prefix = "sorvtest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// True when both paths lie on the same file system.
bool sameFileSystem(const std::string& a, const std::string& b);

// Writes bytes to path, creating missing parent folders; true on success.
bool writeFile(const std::string& path, const std::string& bytes);
// The whole file, or an empty string when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace sorv::test
