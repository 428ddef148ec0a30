#include "files/FolderCleaning.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <vector>

#include "files/DescriptorWalk.h"
#include "files/QMI_FileManager.h"
#include "log/MessageLog.h"
#include "metadata/ItemRules.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileDates.h"
#include "platform/Paths.h"
#include "platform/ProgressWindow.h"
#include "platform/fs/FileSystem.h"

namespace sorv {
namespace {

const char* const kCleanerClass = "QMI_FileManager";
const char* const kWalkMethod =
    "deleteFolderIfEmpty:doNotDeleteImmediateChild:beforeDate:"
    "withProgressController:";
constexpr Date kZeroDate1904{-2082844800.0};
constexpr Date kZeroDate1970{0.0};
constexpr double kSecondsPerDay = 86400;

// A walk logs the first failed deletion of each kind (errno value) with its path and only
// counts the others, so a read-only or busy tree gives a few lines, not one per entry.
class DeletionFailures {
 public:
  explicit DeletionFailures(const char* job) : job_(job) {}
  ~DeletionFailures() {
    if (total_ > logged_) {
      myNSLog("%s => %zu deletions failed in all", job_, total_);
    }
  }
  void note(const std::string& path, int err) {
    ++total_;
    if (seen_[err]++ == 0) {
      ++logged_;
      myNSLog("%s => could not delete [%s]: %s (further failures of this kind are counted)", job_,
              path.c_str(), strerror(err));
    }
  }
  std::size_t total() const { return total_; }

 private:
  const char* job_;
  std::map<int, std::size_t> seen_;
  std::size_t total_ = 0;
  std::size_t logged_ = 0;
};

enum class Emptiness { Empty, OnlyDSStore, NotEmpty, Unreadable };

// Reads at most two names of the open folder (FileSystem::listFolder reads on a descriptor
// of its own, so the caller's walk is left alone).
Emptiness emptinessOf(int folderFd) {
  FileSystem& fs = defaultFileSystem();
  std::vector<std::string> names;
  int rc = fs.listFolder(folderFd, &names, 2);
  if (rc != 0 && rc != E2BIG && names.empty()) return Emptiness::Unreadable;
  if (names.empty()) return Emptiness::Empty;
  if (names.size() > 1 || names[0] != ".DS_Store") return Emptiness::NotEmpty;
  FileInfo info;
  if (fs.statAt(folderFd, ".DS_Store", &info) == 0 && info.type == FileType::Regular)
    return Emptiness::OnlyDSStore;
  return Emptiness::NotEmpty;
}

// The user may remove entries of the folder (write and search permission on it).
bool folderAllowsRemoval(int folderFd) {
  return defaultFileSystem().checkRemovalAllowed(folderFd, ".") == 0;
}

struct FileId {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  bool valid = false;
};

FileId idOf(const std::string& path) {
  FileInfo info;
  if (defaultFileSystem().stat(path, &info) != 0) return {};
  return {info.device, info.inode, true};
}

std::string resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
  return real ? std::string(real.get()) : path;
}

void showLine2(myProgressWindowController* window, const std::string& text) {
  if (window) window->ibUpdateLine2TextField(text, false);
}

// Removes the empty folder the walk is looking at (its lone ".DS_Store" first), on the
// descriptors of the walk; a folder that filled up meanwhile stays (rmdir refuses it).
void removeEmptyFolder(const WalkEntry& entry, int folderFd, Emptiness emptiness,
                       DeletionFailures& failures) {
  runWalkStepHook(entry.relativePath);
  if (!walkEntryUnchanged(entry)) {
    failures.note(entry.fullPath, ESTALE);
    return;
  }
  FileSystem& fs = defaultFileSystem();
  if (emptiness == Emptiness::OnlyDSStore) {
    int rc = fs.unlinkAt(folderFd, ".DS_Store", false);
    if (rc != 0 && rc != ENOENT) {
      failures.note(entry.fullPath + "/.DS_Store", rc);
      return;
    }
  }
  if (int rc = fs.unlinkAt(entry.folderFd, entry.name, true)) failures.note(entry.fullPath, rc);
}

}  // namespace

bool isDirectoryEmpty(const std::string& folder) {
  FileSystem& fs = defaultFileSystem();
  int fd = -1;
  if (fs.openFolder(folder, &fd) != 0) return false;
  Emptiness e = emptinessOf(fd);
  fs.closeDescriptor(fd);
  if (e == Emptiness::Empty) {
    consolePrintf("directory is EMPTY\n");
  } else if (e == Emptiness::OnlyDSStore) {
    consolePrintf(".DS_Store is the ONLY item in this folder\n");
  }
  return e == Emptiness::Empty || e == Emptiness::OnlyDSStore;
}

std::optional<Date> itemAgeDate(const std::string& path) {
  std::optional<FileDateInfo> info = defaultFileDates().read(path);
  if (!info) return std::nullopt;
  if (!info->creation || *info->creation == kZeroDate1904 || *info->creation == kZeroDate1970)
    return info->modification;
  return info->creation;
}

bool itemIsEarlierThan(const std::string& path, Date cutoff, const char* attribute) {
  if (attribute && strcmp(attribute, kNSFileModificationDate) != 0) {
    NSLog("itemIsEarlierThan => unknown date attribute [%s], using %s", attribute,
          kNSFileModificationDate);
  }
  std::optional<Date> date = itemAgeDate(path);
  if (!date) {
    NSLog("itemIsEarlierThan -> file may NOT exist anymore?????");
    return false;
  }
  if (date->secondsSince1970 < cutoff.secondsSince1970) {
    NSLog("Inside itemIsEarlierThan => fileCreationDate is BEFORE minNSDate");
    return true;
  }
  NSLog("Inside itemIsEarlierThan => fileCreationDate is AFTER minNSDate");
  return false;
}

std::optional<std::string> refusalForCleaningRoot(
    const std::string& root, const std::optional<std::string>& protectedFolder) {
  FileId id = idOf(root);
  if (!id.valid) return std::nullopt;  // the caller reports a missing root
  auto same = [&](const FileId& other) {
    return other.valid && other.dev == id.dev && other.ino == id.ino;
  };
  if (same(idOf("/"))) return "it is the file system's root";
  if (same(idOf(homeFolder()))) return "it is the home folder";
  if (protectedFolder && !protectedFolder->empty()) {
    if (same(idOf(*protectedFolder))) return "it is the source folder";
    const std::string real = resolved(root);
    std::string guarded = resolved(*protectedFolder);
    if (!guarded.empty() && guarded.back() != '/') guarded += '/';
    if (real.compare(0, guarded.size(), guarded) == 0) return "it lies inside the source folder";
  }
  return std::nullopt;
}

void QMI_FileManager::deleteFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild,
                                          std::optional<Date> beforeDate,
                                          myProgressWindowController* progress) {
  NSLog("Inside %s->[%s] ", kCleanerClass, kWalkMethod);
  myNSLog("Inside %s->[%s] ==> Passed SourcePath: [%s]", kCleanerClass, kWalkMethod, root.c_str());
  FileSystem& fs = defaultFileSystem();
  FileInfo rootInfo;
  if (fs.stat(root, &rootInfo) != 0) {
    myNSLog("Inside %s->[%s] ==> passed Invalid SourcePath: [%s]", kCleanerClass, kWalkMethod,
            root.c_str());
    return;
  }
  if (rootInfo.type != FileType::Directory) {
    myNSLog("Inside %s->[%s] ==> sourcePath is NOT a Directory: [%s]", kCleanerClass, kWalkMethod,
            root.c_str());
    return;
  }
  if (std::optional<std::string> why = refusalForCleaningRoot(root)) {
    myNSLog("Inside %s->[%s] ==> will not clean [%s]: %s", kCleanerClass, kWalkMethod, root.c_str(),
            why->c_str());
    return;
  }
  DeletionFailures failures("deleteFolderIfEmpty");
  walkBelow(root, true, [&](const WalkEntry& entry) {
    if (!entry.isFolder()) return WalkVisit::Continue;  // files and links are left alone
    if (!folderAllowsRemoval(entry.folderFd)) {
      consolePrintf("??? Directory is CANNOT Be Deleted?????: %s\n", entry.fullPath.c_str());
      return WalkVisit::Continue;
    }
    int fd = openWalkedFolder(entry);
    if (fd < 0) return WalkVisit::SkipContents;  // swapped or unreadable: nothing to do there
    Emptiness emptiness = emptinessOf(fd);
    if (emptiness == Emptiness::NotEmpty || emptiness == Emptiness::Unreadable) {
      fs.closeDescriptor(fd);
      return WalkVisit::Continue;
    }
    bool remove = true;
    if (doNotDeleteImmediateChild) {
      remove = entry.depth > 1;
      if (remove) {
        myNSLog("\nOKAY to delete  Path of [%s]\n", entry.fullPath.c_str());
      } else {
        myNSLog("\nCANNOT DELETE same Root Path of [%s]\n", entry.fullPath.c_str());
      }
    } else if (beforeDate) {
      remove = itemIsEarlierThan(entry.fullPath, *beforeDate, kNSFileModificationDate);
      if (remove) {
        showLine2(progress, "ITEM IS OLDDDDDDDD [" + entry.fullPath + "]");
        NSLog("SHOULD BE DELETING THIS OLD ITEM??????");
      } else {
        showLine2(progress, "Will NOT Delete [" + entry.fullPath + "]");
        NSLog("SHOULD NOT Delete this NEWER ITEm??????");
      }
    }
    if (remove) {
      showLine2(progress, entry.relativePath);
      consolePrintf("\n===>  DELETING an EMPTY Directory: %s\n\n", entry.fullPath.c_str());
      removeEmptyFolder(entry, fd, emptiness, failures);
    }
    fs.closeDescriptor(fd);
    return WalkVisit::SkipContents;  // empty: nothing below it to walk
  });
  fflush(stderr);
}

void QMI_FileManager::deleteOLDFolderIfEmpty(const std::string& root,
                                             bool doNotDeleteImmediateChild,
                                             std::int16_t forDaysOld) {
  NSLog("Inside %s->[%s] ", kCleanerClass,
        "deleteOLDFolderIfEmpty:doNotDeleteImmediateChild:forDaysOld:");
  Date cutoff{defaultClock().wallNow() - forDaysOld * kSecondsPerDay};
  deleteFolderIfEmpty(root, doNotDeleteImmediateChild, cutoff, nullptr);
}

void QMI_FileManager::deleteFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild) {
  NSLog("Inside %s->[%s] ", kCleanerClass, "deleteFolderIfEmpty:doNotDeleteImmediateChild:");
  deleteFolderIfEmpty(root, doNotDeleteImmediateChild, std::nullopt, nullptr);
}

OldPhotoCounts deleteOldPhotosBelow(const std::string& root, Date cutoff,
                                    myProgressWindowController* window,
                                    const std::optional<std::string>& sourceFolder,
                                    const std::function<bool()>& shouldStop) {
  OldPhotoCounts counts;
  FileSystem& fs = defaultFileSystem();
  FileId source = sourceFolder ? idOf(*sourceFolder) : FileId{};
  DeletionFailures failures("deleteOldOldPhotosAndFolderIfEmpty");
  walkBelow(root, true, [&](const WalkEntry& entry) {
    if (shouldStop && shouldStop()) return WalkVisit::Stop;
    if (entry.isFolder()) {
      if (source.valid && entry.info.device == source.dev && entry.info.inode == source.ino) {
        myNSLog("deleteOldOldPhotosAndFolderIfEmpty => not entering the source folder [%s]",
                entry.fullPath.c_str());
        return WalkVisit::SkipContents;
      }
      return WalkVisit::Continue;
    }
    // The date first: it is cheap, and most photos are young. Only old files are decoded.
    if (!entry.isRegularFile()) return WalkVisit::Continue;
    std::optional<Date> date = itemAgeDate(entry.fullPath);
    if (!date || !(date->secondsSince1970 < cutoff.secondsSince1970)) return WalkVisit::Continue;
    int fd = -1;
    if (fs.openFileAt(entry.folderFd, entry.name, &fd) != 0) return WalkVisit::Continue;
    FileInfo opened;
    bool isImage = fs.statDescriptor(fd, &opened) == 0 && opened.type == FileType::Regular &&
                   opened.inode == entry.info.inode && opened.device == entry.info.device &&
                   IsValidImageObject("/proc/self/fd/" + std::to_string(fd));
    fs.closeDescriptor(fd);
    if (!isImage) {
      consolePrintf("itemName is NOT an Image File: [%s]\n", entry.fullPath.c_str());
      if (entry.name[0] != '.') showLine2(window, "Skipping: " + entry.relativePath);
      ++counts.skipped;
      return WalkVisit::Continue;
    }
    showLine2(window, "Deleting: " + entry.relativePath);
    runWalkStepHook(entry.relativePath);
    if (!walkEntryUnchanged(entry)) {
      failures.note(entry.fullPath, ESTALE);
    } else if (int rc = fs.unlinkAt(entry.folderFd, entry.name, false)) {
      failures.note(entry.fullPath, rc);
    } else {
      ++counts.deleted;
    }
    return WalkVisit::Continue;
  });
  counts.failed = failures.total();
  return counts;
}

}  // namespace sorv
