#include "platform/fs/AtomicWrite.h"

#include <cerrno>
#include <memory>
#include <random>

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

int writeFileAtomically(FileSystem& fs, const std::string& path, std::string_view data,
                        std::uint32_t mode, bool sync) {
  std::string tmp;
  std::unique_ptr<WritableFile> file;
  if (int rc = createTemporaryBeside(fs, path, &tmp, &file)) return rc;
  int rc = fs.changeMode(tmp, mode);
  if (rc == 0) rc = file->append(data);
  if (rc == 0 && sync) rc = file->sync();
  if (int closed = file->close(); rc == 0) rc = closed;
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
