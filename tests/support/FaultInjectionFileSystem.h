// A file system that forwards to another and plays faults: the Nth call of an operation can
// fail, every call can fail after a given count (a process that died), and
// dropUnsyncedData() plays a crash of the machine. Files created through it lose what was
// written after their last sync; names created in a folder since that folder's last sync
// vanish, and renames into an unsynced folder go back. Removals count as done at once.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs/FileSystem.h"

namespace sorv::test {

class FaultInjectionFileSystem : public FileSystem {
 public:
  enum class Op {
    Stat,
    Lstat,
    MakeDirectory,
    Rename,
    Link,
    Unlink,
    RemoveTree,
    SetAttributes,
    OpenForRead,
    Read,
    CreateFile,
    Append,
    SyncFile,
    Close,
    SyncDirectory,
    ListDirectory,
    ChangeMode,
    CheckRemovalAllowed,
    OpenAppending,
    OpenFolder,
    OpenFolderAt,
    OpenFileAt,
    CloseDescriptor,
    StatDescriptor,
    StatAt,
    UnlinkAt,
    ListFolder,
  };

  explicit FaultInjectionFileSystem(FileSystem& target = posixFileSystem());

  // The nth call of op from now (1 = the next) fails with err and does nothing.
  void failNth(Op op, int nth, int err = EIO);
  // After `calls` more calls of any operation, every call fails with EIO.
  void dieAfter(int calls);
  // Plays the crash (see above) and clears every fault and all tracking.
  void dropUnsyncedData();
  int callCount() const;
  int callCount(Op op) const;

  int stat(const std::string& path, FileInfo* info) override;
  int lstat(const std::string& path, FileInfo* info) override;
  int makeDirectory(const std::string& path, std::uint32_t mode) override;
  int rename(const std::string& from, const std::string& to, bool replace) override;
  int link(const std::string& from, const std::string& to) override;
  int unlink(const std::string& path) override;
  int removeTree(const std::string& path) override;
  int setAttributes(const std::string& path, std::uint32_t mode, std::int64_t atimeNs,
                    std::int64_t mtimeNs) override;
  int openForRead(const std::string& path, std::unique_ptr<ReadableFile>* file) override;
  int createFile(const std::string& path, std::uint32_t mode,
                 std::unique_ptr<WritableFile>* file) override;
  int syncDirectory(const std::string& path) override;
  int listDirectory(const std::string& path, std::vector<std::string>* names,
                    std::size_t maxNames) override;
  int changeMode(const std::string& path, std::uint32_t mode) override;
  int checkRemovalAllowed(int folderFd, const std::string& name) override;
  int openAppending(const std::string& path, std::uint32_t mode, int* fd) override;
  int openFolder(const std::string& path, int* fd) override;
  int openFolderAt(int folderFd, const std::string& name, int* fd) override;
  int openFileAt(int folderFd, const std::string& name, int* fd) override;
  int closeDescriptor(int fd) override;  // the descriptor is closed even when a fault is played
  int statDescriptor(int fd, FileInfo* info) override;
  int statAt(int folderFd, const std::string& name, FileInfo* info) override;
  int unlinkAt(int folderFd, const std::string& name, bool folder) override;
  int listFolder(int folderFd, std::vector<std::string>* names, std::size_t maxNames) override;
  // copyFile is the base class's, so every step of a copy passes through here.

  // Called by the files this opens.
  int injected(Op op);
  void noteWritten(const std::string& path, std::uint64_t bytes);
  void noteSynced(const std::string& path);

 private:
  // rc; when it is 0 (the path was removed) the path's writes are no longer tracked.
  int untracked(const std::string& path, int rc);
  struct Tracked {
    std::uint64_t written = 0;
    std::uint64_t synced = 0;
    bool entryDurable = false;  // its folder was synced since it was created
  };
  struct PendingRename {
    std::string from, to;
  };

  FileSystem& target_;
  mutable std::mutex mutex_;
  std::map<Op, std::vector<std::pair<int, int>>> failures_;  // op → (call number, errno)
  std::map<Op, int> counts_;
  int total_ = 0;
  int dieAt_ = -1;
  std::map<std::string, Tracked> files_;
  std::vector<PendingRename> renames_;
};

}  // namespace sorv::test
