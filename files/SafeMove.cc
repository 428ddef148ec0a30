#include "files/SafeMove.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/Paths.h"

namespace sorv {

const char* const kPartialMovePrefix = ".sorv-partial-";

namespace {

constexpr std::size_t kMaxNameBytes = 255;

std::string folderOf(const std::string& path) {
  std::string folder = deletingLastPathComponent(path);
  return folder.empty() ? "." : folder;
}

// ".sorv-partial-<pid>-<n>-<name>", the name cut so that the whole stays a valid file name.
std::string partialNameFor(const std::string& to) {
  static std::atomic<unsigned> counter{0};
  std::string name = std::string(kPartialMovePrefix) + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1)) + "-";
  std::string base = lastPathComponent(to);
  if (name.size() + base.size() > kMaxNameBytes) base.resize(kMaxNameBytes - name.size());
  return name + base;
}

// The process id in a partial copy's name, or 0.
pid_t ownerOfPartial(const std::string& name) {
  std::size_t prefix = std::strlen(kPartialMovePrefix);
  if (name.compare(0, prefix, kPartialMovePrefix) != 0) return 0;
  char* end = nullptr;
  long pid = std::strtol(name.c_str() + prefix, &end, 10);
  if (end == name.c_str() + prefix || *end != '-' || pid <= 0) return 0;
  return static_cast<pid_t>(pid);
}

bool processIsRunning(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Two names of one directory entry (same folder, same name): not two copies.
bool sameEntry(FileSystem& fs, const std::string& a, const std::string& b) {
  FileInfo fa, fb;
  if (lastPathComponent(a) != lastPathComponent(b)) return false;
  if (fs.stat(folderOf(a), &fa) != 0 || fs.stat(folderOf(b), &fb) != 0) return false;
  return fa.inode == fb.inode && fa.device == fb.device;
}

bool sameContents(FileSystem& fs, const std::string& a, const std::string& b) {
  FileInfo ia, ib;
  if (fs.lstat(a, &ia) != 0 || fs.lstat(b, &ib) != 0) return false;
  if (ia.type != FileType::Regular || ib.type != FileType::Regular) return false;
  if (ia.size != ib.size) return false;
  if (ia.inode == ib.inode && ia.device == ib.device) return true;  // hard links of one file
  std::unique_ptr<ReadableFile> fa, fb;
  if (fs.openForRead(a, &fa) != 0 || fs.openForRead(b, &fb) != 0) return false;
  std::string bufA(1 << 16, '\0'), bufB(1 << 16, '\0');
  std::uint64_t total = 0;
  for (;;) {
    std::size_t gotA = 0, gotB = 0;
    if (fa->read(bufA.data(), bufA.size(), &gotA) != 0) return false;
    // Fill the same count from b (reads may come back short).
    while (gotB < gotA) {
      std::size_t got = 0;
      if (fb->read(bufB.data() + gotB, gotA - gotB, &got) != 0 || got == 0) return false;
      gotB += got;
    }
    if (gotA == 0) return total == ia.size;
    if (std::memcmp(bufA.data(), bufB.data(), gotA) != 0) return false;
    total += gotA;
  }
}

// Across file systems: synced copy under a temporary name, renamed into place, folder synced,
// and only then the source removed.
int copyThenRemove(FileSystem& fs, const std::string& from, const std::string& to, bool replace) {
  FileInfo info;
  if (int rc = fs.lstat(from, &info)) return rc;
  if (info.type != FileType::Regular) return EXDEV;  // links and special files stay put
  std::string destFolder = folderOf(to);
  std::string partial = appendingPathComponent(destFolder, partialNameFor(to));
  if (int rc = fs.copyFile(from, partial, true)) return rc;
  if (int rc = fs.rename(partial, to, replace)) {
    fs.unlink(partial);
    return rc;
  }
  if (int rc = fs.syncDirectory(destFolder)) {
    fs.unlink(to);  // not known to be durable: the source stays the one copy
    return rc;
  }
  if (int rc = fs.unlink(from)) {
    fs.unlink(to);
    return rc;
  }
  fs.syncDirectory(folderOf(from));
  return 0;
}

}  // namespace

void removeLeftoverPartialMoves(FileSystem& fs, const std::string& folder) {
  std::vector<std::string> names;
  fs.listDirectory(folder, &names);
  for (const std::string& name : names) {
    pid_t owner = ownerOfPartial(name);
    if (owner == 0 || owner == ::getpid() || processIsRunning(owner)) continue;
    fs.unlink(appendingPathComponent(folder, name));
  }
}

int moveFileSafely(FileSystem& fs, const std::string& from, const std::string& to, bool replace) {
  FileInfo info;
  if (int rc = fs.lstat(from, &info)) return rc;
  if (sameEntry(fs, from, to)) return 0;
  removeLeftoverPartialMoves(fs, folderOf(to));
  if (!replace && fs.lstat(to, &info) == 0) {
    if (!sameContents(fs, from, to)) return EEXIST;
    // A killed move had already put its copy in place; finish it.
    if (int rc = fs.unlink(from)) return rc;
    fs.syncDirectory(folderOf(from));
    return 0;
  }
  // On one file system the rename is atomic: the file is under one name or the other, so no
  // folder sync is needed to keep it (only to make the new place durable at once).
  int rc = fs.rename(from, to, replace);
  if (rc == EXDEV) return copyThenRemove(fs, from, to, replace);
  return rc;
}

}  // namespace sorv
