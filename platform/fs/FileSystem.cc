#include "platform/fs/FileSystem.h"

#include <errno.h>

namespace sorv {

bool FileSystem::exists(const std::string& path) {
  FileInfo info;
  return stat(path, &info) == 0;
}

bool FileSystem::isDirectory(const std::string& path) {
  FileInfo info;
  return stat(path, &info) == 0 && info.type == FileType::Directory;
}

int FileSystem::copyFile(const std::string& from, const std::string& to, bool syncData) {
  FileInfo info;
  if (int rc = stat(from, &info)) return rc;
  if (info.type != FileType::Regular) return EINVAL;
  std::unique_ptr<ReadableFile> in;
  if (int rc = openForRead(from, &in)) return rc;
  std::unique_ptr<WritableFile> out;
  if (int rc = createFile(to, info.mode & 07777, &out)) return rc;

  int rc = 0;
  std::string buf(1 << 20, '\0');
  for (;;) {
    std::size_t got = 0;
    if ((rc = in->read(buf.data(), buf.size(), &got))) break;
    if (got == 0) break;
    if ((rc = out->append(std::string_view(buf.data(), got)))) break;
  }
  // A source that changed while it was read (still being written) gives no copy.
  FileInfo after;
  if (rc == 0 && (stat(from, &after) != 0 || after.size != info.size ||
                  after.mtimeNs != info.mtimeNs || after.inode != info.inode)) {
    rc = EBUSY;
  }
  // Mode and times before the sync, so that the sync makes them durable with the data.
  if (rc == 0) rc = setAttributes(to, info.mode & 07777, info.atimeNs, info.mtimeNs);
  if (rc == 0 && syncData) rc = out->sync();
  if (int closeRc = out->close(); rc == 0) rc = closeRc;
  if (rc != 0) unlink(to);
  return rc;
}

}  // namespace sorv
