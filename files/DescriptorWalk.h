// The deep walk of the cleaning jobs, on open folder descriptors of the default file system:
// every entry is looked at with FileSystem::statAt (a link is a link) relative to the folder
// that holds it, and a folder is entered with openFolderAt (never through a link) and only when
// it is still the folder that was looked at. A symbolic link below the root is reported as a
// link and never followed, so a caller that deletes with unlinkAt on WalkEntry::folderFd cannot
// reach outside the root, even when a folder is swapped for a link while the walk runs.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/fs/FileSystem.h"

namespace sorv {

struct WalkEntry {
  int folderFd = -1;         // the open folder that holds the entry (valid during the visit)
  std::string name;          // the entry's name in that folder
  std::string relativePath;  // from the root, "/"-separated
  std::string fullPath;      // the root joined with relativePath (for logs and file dates)
  FileInfo info;             // the entry itself: a link is a link
  std::size_t depth = 0;     // 1 for the root's own entries
  bool isFolder() const { return info.type == FileType::Directory; }
  bool isRegularFile() const { return info.type == FileType::Regular; }
};

enum class WalkVisit { Continue, SkipContents, Stop };

// Calls visit for every entry below root, a folder before its contents, in the order the file
// system lists them; with recursive false only the root's own entries. A link at the root
// itself is followed (it is the folder the caller was given). Entries that vanish are logged
// ("testDirectory=> curItem does NOT exist: ...") and skipped; folders deeper than maxDepth are
// not entered. Gives 0, or the errno value of opening the root.
int walkBelow(const std::string& root, bool recursive,
              const std::function<WalkVisit(const WalkEntry&)>& visit, std::size_t maxDepth = 256);

// Opens the entry's folder (never through a link), or -1 when it is no longer the folder the
// walk looked at. The caller closes it with defaultFileSystem().closeDescriptor.
int openWalkedFolder(const WalkEntry& entry);
// True when the entry's name still names the same file (inode) the walk looked at.
bool walkEntryUnchanged(const WalkEntry& entry);

// Called with an entry's relative path between the steps of every walk (before the entry is
// looked at, before it is entered, before it is removed). Tests install one to change the
// tree mid-walk; nullptr removes it. Not for use while walks run.
void setWalkStepHook(std::function<void(const std::string& relativePath)> hook);
void runWalkStepHook(const std::string& relativePath);

}  // namespace sorv
