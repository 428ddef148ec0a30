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

  // Copies a regular file to a new file `to` (never replaced) with its permission bits and
  // times; syncs it when asked. On failure `to` is removed. Built on the calls above, so a
  // wrapper sees every step.
  virtual int copyFile(const std::string& from, const std::string& to, bool sync);

  static constexpr std::size_t kMaxListedNames = 4'000'000;
};

// The real POSIX file system.
FileSystem& posixFileSystem();

// The file system the process uses; posixFileSystem() unless a test installed another.
// Safe from any thread; setDefaultFileSystem(nullptr) restores the real one.
FileSystem& defaultFileSystem();
void setDefaultFileSystem(FileSystem* fs);

}  // namespace sorv
