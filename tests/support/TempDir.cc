#include "tests/support/TempDir.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sorv::test {

namespace {

bool writableFolder(const char* path) {
  return std::filesystem::is_directory(path) && access(path, W_OK) == 0;
}

std::string baseFolder(TempDir::Where where) {
  switch (where) {
    case TempDir::kMemory:
      return "/dev/shm";
    case TempDir::kMemoryElseDisk:
      if (writableFolder("/dev/shm")) return "/dev/shm";
      break;
    case TempDir::kShortPath:
      return "/tmp";
    case TempDir::kDisk:
      break;
  }
  return std::filesystem::temp_directory_path().string();
}

}  // namespace

TempDir::TempDir(Where where, const std::string& prefix) {
  std::string tmpl = baseFolder(where) + "/" + prefix + ".XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed: " + tmpl);
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool sameFileSystem(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace sorv::test
