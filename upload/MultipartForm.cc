#include "upload/MultipartForm.h"

#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/fs/AtomicWrite.h"

namespace sorv {
namespace {

std::string separator() {
  return std::string("\r\n--") + kFormBoundary + "\r\n";
}

bool isMaskedField(const std::string& name) {
  return name == "password" || name == "code";
}

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool writePiece(int fd, const HttpBody::Piece& piece, bool withFileBytes) {
  if (!piece.file) return writeAll(fd, piece.text.data(), piece.text.size());
  if (!withFileBytes) return true;
  std::vector<char> buf(256 * 1024);
  std::uint64_t off = 0;
  while (off < piece.file->size()) {
    long long got = piece.file->readAt(off, buf.data(), buf.size());
    if (got <= 0) return false;
    if (!writeAll(fd, buf.data(), static_cast<std::size_t>(got))) return false;
    off += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

std::string multipartContentType() {
  return std::string("multipart/form-data; boundary=") + kFormBoundary;
}

std::string contentTypeForPath(const std::string& path) {
  std::string ext = pathExtension(path);
  if (strcasecmp(ext.c_str(), "PNG") == 0) return "image/png";
  if (strcasecmp(ext.c_str(), "MOV") == 0) return "video/quicktime";
  return "image/jpeg";
}

std::string escapedPartFileName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || c == '"') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

void MultipartForm::addField(const std::string& name, const std::string& value) {
  if (value.find(kFormDelimiter) != std::string::npos) {
    if (refusedField_.empty()) refusedField_ = name;
    return;
  }
  std::string head = separator() + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
  body_.appendText(head);
  body_.appendText(value);
  dump_.appendText(head);
  dump_.appendText(isMaskedField(name) ? std::string("********") : value);
}

void MultipartForm::addFilePartHeader(const std::string& fieldName, const std::string& fileName,
                                      const std::string& contentType) {
  std::string head = separator() + "Content-Disposition: form-data; name=\"" + fieldName +
                     "\"; filename=\"" + escapedPartFileName(fileName) +
                     "\"\r\nContent-Type: " + contentType + "\r\n\r\n";
  body_.appendText(head);
  dump_.appendText(head);
}

void MultipartForm::addFile(std::shared_ptr<HttpBodyFile> file) {
  body_.appendFile(file);
  dump_.appendFile(std::move(file));
}

void MultipartForm::addClosingLine() {
  std::string close = std::string("\r\n--") + kFormBoundary + "--\r\n";
  body_.appendText(close);
  dump_.appendText(close);
}

bool MultipartForm::writeDump(const std::string& path, bool withFileBytes) const {
  // A fresh temporary file (mkstemp makes it 0600) renamed over the old dump, so that a
  // reader never sees half a dump and an old file's looser mode does not survive. Only a
  // regular file is replaced: a link or a device in its place stays as it is.
  if (int refusal = refusalAt(defaultFileSystem(), path)) {
    if (firstRefusalOf(path, refusal))
      NSLog("WARNING: not writing the dump [%s]: %s", path.c_str(),
            atomicWriteErrorText(refusal).c_str());
    return false;
  }
  std::string tmp = deletingLastPathComponent(path) + "/." + lastPathComponent(path) + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  bool ok = true;
  for (const auto& piece : dump_.pieces()) {
    if (!writePiece(fd, piece, withFileBytes)) {
      ok = false;
      break;
    }
  }
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = refusalAt(defaultFileSystem(), path) == 0;
  if (ok) ok = ::rename(name.data(), path.c_str()) == 0;
  if (!ok) ::unlink(name.data());
  return ok;
}

}  // namespace sorv
