// Bounded random-access reads over a file or a memory buffer, so that the metadata readers
// read only the bytes they need and the fuzz targets drive the same code from memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sorv {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Total length in bytes.
  virtual std::uint64_t size() const = 0;
  // Copies up to n bytes from offset into buf; gives the count copied (0 at or past the end
  // and on a read error).
  virtual std::size_t read(std::uint64_t offset, void* buf, std::size_t n) = 0;

  // True when exactly n bytes were copied.
  bool readExact(std::uint64_t offset, void* buf, std::size_t n) {
    return read(offset, buf, n) == n;
  }
};

// A view of bytes owned by the caller, who keeps them alive while the source is used.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  MemorySource(const void* data, std::size_t size) : bytes_(static_cast<const char*>(data), size) {}
  std::uint64_t size() const override { return bytes_.size(); }
  std::size_t read(std::uint64_t offset, void* buf, std::size_t n) override;

 private:
  std::string_view bytes_;
};

// A regular file opened for reading. open() refuses folders, devices and pipes (a pipe would
// block the reader), so callers can treat every non-null result as a plain file.
class FileSource : public ByteSource {
 public:
  static std::unique_ptr<FileSource> open(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  std::uint64_t size() const override { return size_; }
  std::size_t read(std::uint64_t offset, void* buf, std::size_t n) override;

 private:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  std::uint64_t size_;
};

}  // namespace sorv
