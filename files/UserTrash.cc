#include "files/UserTrash.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <cctype>
#include <filesystem>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/fs/FileSystem.h"

namespace sorv {
namespace {

// Names tried after the time-stamped one before the move gives up.
constexpr int kMaxClashTries = 100;

std::string localTimeText(const char* format) {
  time_t now = static_cast<time_t>(defaultClock().wallNow());
  struct tm t;
  localtime_r(&now, &t);
  char buf[64];
  std::size_t n = strftime(buf, sizeof buf, format, &t);
  return std::string(buf, n);
}

// The path as a .trashinfo record writes it: bytes outside the unreserved set escaped.
std::string percentEncoded(const std::string& path) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool ensureFolder(const std::string& path) {
  int rc = defaultFileSystem().makeDirectory(path, 0700);
  return rc == 0 || rc == EEXIST;
}

// Reserves name in the trash by creating its .trashinfo record exclusively.
bool reserveInfo(const std::string& infoPath, const std::string& originalPath) {
  FileSystem& fs = defaultFileSystem();
  std::unique_ptr<WritableFile> file;
  if (fs.createFile(infoPath, 0600, &file) != 0) return false;
  std::string record = "[Trash Info]\nPath=" + percentEncoded(originalPath) +
                       "\nDeletionDate=" + localTimeText("%Y-%m-%dT%H:%M:%S") + "\n";
  bool ok = file->append(record) == 0;
  file->close();
  if (!ok) fs.unlink(infoPath);
  return ok;
}

int moveNoReplace(const std::string& from, const std::string& to) {
  FileSystem& fs = defaultFileSystem();
  int err = fs.rename(from, to, false);
  if (err != EXDEV) return err;
  if (int rc = fs.copyFile(from, to, true)) return rc;
  if (int rc = fs.unlink(from)) {
    fs.unlink(to);
    return rc;
  }
  return 0;
}

}  // namespace

std::string userTrashPath() {
  return xdgFolder("XDG_DATA_HOME", ".local/share") + "/Trash";
}

bool moveFileToUserTrash(const std::string& path) {
  const std::string standard = std::filesystem::path(path).lexically_normal().string();
  const std::string parent = deletingLastPathComponent(standard);
  FileSystem& fs = defaultFileSystem();
  FileInfo info;
  if (fs.lstat(standard, &info) != 0 || info.type == FileType::Directory ||
      fs.checkRemovalAllowed(FileSystem::kCurrentFolder, parent.empty() ? "." : parent) != 0) {
    NSLog("moveFileToUserTrash => item [%s] is NOT deletable...", path.c_str());
    return false;
  }
  const std::string trash = userTrashPath();
  if (!createFolderWithParents(deletingLastPathComponent(trash)) || !ensureFolder(trash) ||
      !ensureFolder(trash + "/files") || !ensureFolder(trash + "/info")) {
    NSLog("moveFileToUserTrash => no trash folder at [%s]", trash.c_str());
    return false;
  }
  const std::string absolute = std::filesystem::absolute(standard).lexically_normal().string();
  const std::string name = lastPathComponent(standard);
  const std::string stamped = name + localTimeText(" %Y%m%d_%H%M%S");
  for (int attempt = 0; attempt <= kMaxClashTries + 1; ++attempt) {
    std::string candidate = attempt == 0   ? name
                            : attempt == 1 ? stamped
                                           : stamped + " " + std::to_string(attempt);
    const std::string target = trash + "/files/" + candidate;
    const std::string infoPath = trash + "/info/" + candidate + ".trashinfo";
    if (fs.lstat(target, &info) == 0 || !reserveInfo(infoPath, absolute)) continue;
    int rc = moveNoReplace(standard, target);
    if (rc == 0) return true;
    fs.unlink(infoPath);
    if (rc != EEXIST) {
      NSLog("moveFileToUserTrash -> Move operation did not succeed! for [%s]", path.c_str());
      return false;
    }
  }
  NSLog("moveFileToUserTrash -> Move operation did not succeed! for [%s]", path.c_str());
  return false;
}

}  // namespace sorv
