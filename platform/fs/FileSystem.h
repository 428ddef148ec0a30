// The file system behind one narrow interface, so that tests can wrap it (fault injection)
// or replace it. Paths are byte strings. Every operation that can fail returns 0 on success,
// else an errno value (ENOENT, EEXIST, EXDEV, ...); nothing throws.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sorv {

enum class FileType { Regular, Directory, Symlink, Other };

struct FileInfo {
  FileType type = FileType::Other;
  std::uint64_t size = 0;
  std::uint64_t inode = 0;
  std::uint64_t device = 0;
  std::uint32_t mode = 0;    // permission bits (07777)
  std::uint32_t format = 0;  // the file type bits (S_IFMT): tells devices, FIFOs and sockets apart
  std::int64_t atimeNs = 0;  // nanoseconds since 1970
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;  // status change; moves with every write and attribute change
};

// A file opened for sequential reading. Not safe from several threads at once.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  ReadableFile() = default;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;
  // Reads up to n bytes into buf; *got is 0 at the end of the file.
  virtual int read(char* buf, std::size_t n, std::size_t* got) = 0;
};

// A file opened for writing at its end. Closed (without sync) when destroyed.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  WritableFile() = default;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;
  virtual int append(std::string_view data) = 0;
  virtual int sync() = 0;  // data and size reach the disk (fsync)
  virtual int close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // stat follows symbolic links, lstat does not.
  virtual int stat(const std::string& path, FileInfo* info) = 0;
  virtual int lstat(const std::string& path, FileInfo* info) = 0;
  // Something is at path, following links (a dangling link is nothing).
  bool exists(const std::string& path);
  bool isDirectory(const std::string& path);  // following links

  // Creates the last component only; EEXIST when something is there.
  virtual int makeDirectory(const std::string& path, std::uint32_t mode = 0777) = 0;
  // With replace false an existing destination is never replaced (EEXIST). EXDEV when the
  // two paths lie on different file systems.
  virtual int rename(const std::string& from, const std::string& to, bool replace) = 0;
  virtual int link(const std::string& from, const std::string& to) = 0;
  virtual int unlink(const std::string& path) = 0;  // a file or a symbolic link
  // Removes path and, for a folder, everything below it; links are removed, not followed.
  virtual int removeTree(const std::string& path) = 0;
  // Permission bits and times (ns since 1970) of path, following links.
  virtual int setAttributes(const std::string& path, std::uint32_t mode, std::int64_t atimeNs,
                            std::int64_t mtimeNs) = 0;

  // Opens a regular file; refuses folders and special files (which could block a reader).
  virtual int openForRead(const std::string& path, std::unique_ptr<ReadableFile>* file) = 0;
  // Creates a new file (EEXIST when something is there) with the given permission bits.
  virtual int createFile(const std::string& path, std::uint32_t mode,
                         std::unique_ptr<WritableFile>* file) = 0;
  virtual int syncDirectory(const std::string& path) = 0;

  // Names in the folder (without "." and ".."), in the order the file system lists them.
  // Stops with E2BIG after maxNames names (the names read so far are kept).
  virtual int listDirectory(const std::string& path, std::vector<std::string>* names,
                            std::size_t maxNames = kMaxListedNames) = 0;

  // Sets the permission bits of path exactly (the umask plays no part), following links.
  virtual int changeMode(const std::string& path, std::uint32_t mode) = 0;
  // 0 when the effective user may remove entries of the folder `name` in the open folder
  // (write and search permission); with kCurrentFolder, name is a path.
  virtual int checkRemovalAllowed(int folderFd, const std::string& name) = 0;
  // Opens or creates path for appending (O_APPEND) with the given mode, for a descriptor the
  // caller puts in place itself (the day's log on standard error). A link at path is refused
  // (ELOOP), never followed, and a special file does not block the open. The caller owns *fd
  // and closes it with closeDescriptor.
  virtual int openAppending(const std::string& path, std::uint32_t mode, int* fd) = 0;

  // Descriptor-relative calls, for walks that must never follow a link below their root.
  // A folder handle is an open descriptor (close-on-exec) owned by the caller, who closes it
  // with closeDescriptor; a handle is used by one thread at a time, the calls themselves are
  // safe from several threads. kCurrentFolder stands for the working folder.
  static constexpr int kCurrentFolder = -100;  // AT_FDCWD
  // Opens the folder at path, following a link there.
  virtual int openFolder(const std::string& path, int* fd) = 0;
  // Opens the folder `name` of the open folder; a link there is refused, never followed.
  virtual int openFolderAt(int folderFd, const std::string& name, int* fd) = 0;
  // Opens the regular file `name` of the open folder for reading, refusing a link and never
  // blocking on a special file; the type check is the caller's (statDescriptor).
  virtual int openFileAt(int folderFd, const std::string& name, int* fd) = 0;
  virtual int closeDescriptor(int fd) = 0;
  // What the open descriptor itself refers to.
  virtual int statDescriptor(int fd, FileInfo* info) = 0;
  // The entry `name` of the open folder itself: a link is reported as a link.
  virtual int statAt(int folderFd, const std::string& name, FileInfo* info) = 0;
  // Removes the file or link `name` of the open folder, or with folder true the empty folder.
  virtual int unlinkAt(int folderFd, const std::string& name, bool folder) = 0;
  // Names in the open folder, as listDirectory gives them; read on a descriptor of its own,
  // so folderFd can be listed again.
  virtual int listFolder(int folderFd, std::vector<std::string>* names,
                         std::size_t maxNames = kMaxListedNames) = 0;

  // Copies a regular file to a new file `to` (never replaced) with its permission bits and
  // times; syncs it when asked. On failure `to` is removed. Built on the calls above, so a
  // wrapper sees every step.
  virtual int copyFile(const std::string& from, const std::string& to, bool sync);

  static constexpr std::size_t kMaxListedNames = 4'000'000;
};

// The real POSIX file system.
FileSystem& posixFileSystem();

// The file system the process uses: currentEnv().fileSystem() (platform/Env.h). Safe from any
// thread.
FileSystem& defaultFileSystem();

}  // namespace sorv
