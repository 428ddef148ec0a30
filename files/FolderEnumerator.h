// The deep walk of a folder the scan makes: relative paths, a folder before its contents, in
// the order the file system lists them (no sorting). Symbolic links are reported, never
// followed. Entries that vanish or cannot be read are skipped with a console line.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/fs/FileSystem.h"

namespace sorv {

struct FolderEntry {
  std::string relativePath;  // from the start folder, "/"-separated, bytes as listed
  std::string fullPath;      // the start folder joined with relativePath
  FileInfo info;             // of the entry itself (lstat): a link is FileType::Symlink
  bool isFolder() const { return info.type == FileType::Directory; }
};

class FolderEnumerator {
 public:
  // Unchanged: as Continue; the visitor's verdict on this file holds until the file changes,
  // so a walk that keeps its results between passes (WalkCache) may leave the file out.
  enum class Visit { Continue, SkipContents, Stop, Unchanged };

  // Deeper folders than maxDepth are reported but not entered (a console line says so).
  explicit FolderEnumerator(std::string startFolder, FileSystem& fs = defaultFileSystem(),
                            std::size_t maxDepth = 256);

  // Calls visit for every entry until it answers Stop; SkipContents on a folder leaves its
  // contents out. False when the start folder cannot be listed.
  bool enumerate(const std::function<Visit(const FolderEntry&)>& visit);

 private:
  std::string start_;
  FileSystem& fs_;
  std::size_t maxDepth_;
};

}  // namespace sorv
