// The multipart/form-data body shared by the photo upload, the order query and the hi-res
// upload: text fields, file parts streamed from open files, and the closing line.
#pragma once

#include <memory>
#include <string>

#include "platform/http/HttpTransport.h"

namespace sorv {

inline constexpr const char* kFormBoundary = "0xKhTmLbOuNdArY";

// "multipart/form-data; boundary=0xKhTmLbOuNdArY"
std::string multipartContentType();

// "image/png" for a PNG extension, "video/quicktime" for MOV, else "image/jpeg" (any case).
std::string contentTypeForPath(const std::string& path);

class MultipartForm {
 public:
  // Separator, disposition line, the value with no trailing line break.
  void addField(const std::string& name, const std::string& value);
  // Separator, disposition line with the file name, "Content-Type: <type>\r\n\r\n".
  void addFilePartHeader(const std::string& fieldName, const std::string& fileName,
                         const std::string& contentType);
  // The file's bytes, read while sending.
  void addFile(std::shared_ptr<HttpBodyFile> file);
  void addClosingLine();

  const HttpBody& body() const { return body_; }

  // Writes the body so far to `path` (replacing it, mode 0600), with the values of the
  // "password" and "code" fields masked; file bytes only when withFileBytes. False when it
  // could not be written.
  bool writeDump(const std::string& path, bool withFileBytes) const;

 private:
  HttpBody body_;
  HttpBody dump_;  // the same pieces with masked values
};

}  // namespace sorv
