// The multipart/form-data body shared by the photo upload, the order query and the hi-res
// upload: text fields, file parts streamed from open files, and the closing line.
#pragma once

#include <memory>
#include <string>

#include "platform/http/HttpTransport.h"

namespace sorv {

inline constexpr const char* kFormBoundary = "0xKhTmLbOuNdArY";
// What must never occur inside a text value ("--" and the boundary) or a file part (the
// same after CR LF): it would end the part early and let the value forge fields.
inline constexpr const char* kFormDelimiter = "--0xKhTmLbOuNdArY";
inline constexpr const char* kFileDelimiter = "\r\n--0xKhTmLbOuNdArY";

// "multipart/form-data; boundary=0xKhTmLbOuNdArY"
std::string multipartContentType();

// "image/png" for a PNG extension, "video/quicktime" for MOV, else "image/jpeg" (any case).
std::string contentTypeForPath(const std::string& path);

class MultipartForm {
 public:
  // Separator, disposition line, the value with no trailing line break. A value that holds
  // the form's delimiter is left out, and the form is then refused (refusedField()).
  void addField(const std::string& name, const std::string& value);
  // The first field whose value held the delimiter; empty when none did. A refused form must
  // not be sent.
  const std::string& refusedField() const { return refusedField_; }
  // Separator, disposition line with the file name, "Content-Type: <type>\r\n\r\n". CR, LF,
  // '"' and other bytes below 0x20 in the file name are written as %XX, as browsers do.
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
  std::string refusedField_;
};

// The file name as it goes into a part header: CR, LF, '"' and bytes below 0x20 as %XX.
std::string escapedPartFileName(const std::string& name);

}  // namespace sorv
