#include "platform/fs/AtomicWrite.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <utility>

namespace sorv {

namespace {

// Creates a new file named path + "." and six random letters and digits, as mkstemp does,
// with mode 0600.
int createTemporaryBeside(FileSystem& fs, const std::string& path, std::string* tmp,
                          std::unique_ptr<WritableFile>* file) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  constexpr int kTries = 100;
  std::random_device random;
  int rc = EEXIST;
  for (int attempt = 0; attempt < kTries && rc == EEXIST; ++attempt) {
    *tmp = path + ".";
    for (int i = 0; i < 6; ++i) *tmp += kLetters[random() % (sizeof kLetters - 1)];
    rc = fs.createFile(*tmp, 0600, file);
  }
  return rc;
}

}  // namespace

int refusalFor(const FileInfo& info) {
  switch (info.type) {
    case FileType::Regular:
      return 0;
    case FileType::Symlink:
      return kRefusedLink;
    case FileType::Directory:
      return kRefusedFolder;
    case FileType::Other:
      break;
  }
  if (info.format == S_IFIFO) return kRefusedFifo;
  if (info.format == S_IFSOCK) return kRefusedSocket;
  return kRefusedDevice;
}

int refusalAt(FileSystem& fs, const std::string& path) {
  FileInfo there;
  return fs.lstat(path, &there) == 0 ? refusalFor(there) : 0;
}

std::string atomicWriteErrorText(int rc) {
  switch (rc) {
    case kRefusedLink:
      return "it is a symbolic link, not a regular file";
    case kRefusedFolder:
      return "it is a folder, not a regular file";
    case kRefusedDevice:
      return "it is a device, not a regular file";
    case kRefusedFifo:
      return "it is a FIFO, not a regular file";
    case kRefusedSocket:
      return "it is a socket, not a regular file";
    default:
      return std::strerror(rc);
  }
}

bool firstRefusalOf(const std::string& path, int rc) {
  static std::mutex mutex;
  static std::set<std::pair<std::string, int>> said;
  std::lock_guard<std::mutex> lock(mutex);
  // Bounded: paths that keep changing cannot grow the set without end.
  return said.size() < 1000 && said.emplace(path, rc).second;
}

int writeFileAtomically(FileSystem& fs, const std::string& path, std::string_view data,
                        std::uint32_t mode, bool sync) {
  // A rename replaces whatever the name holds: a link, or a device node that is not ours to
  // turn into a file. Checked again just before the rename.
  if (int refusal = refusalAt(fs, path)) return refusal;
  std::string tmp;
  std::unique_ptr<WritableFile> file;
  if (int rc = createTemporaryBeside(fs, path, &tmp, &file)) return rc;
  int rc = fs.changeMode(tmp, mode);
  if (rc == 0) rc = file->append(data);
  if (rc == 0 && sync) rc = file->sync();
  if (int closed = file->close(); rc == 0) rc = closed;
  if (rc == 0) rc = refusalAt(fs, path);
  if (rc == 0) rc = fs.rename(tmp, path, true);
  if (rc != 0) {
    fs.unlink(tmp);
    return rc;
  }
  if (sync) {
    std::size_t slash = path.rfind('/');
    fs.syncDirectory(slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash)));
  }
  return 0;
}

}  // namespace sorv
