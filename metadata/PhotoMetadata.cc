#include "metadata/PhotoMetadata.h"

#include <strings.h>

#include "metadata/ExifSegment.h"
#include "metadata/MetadataReaders.h"
#include "metadata/UserComment.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace sorv {

const char* const QMEmailsForUpload = "QM_emailsForUpload";
const char* const QMKioskStation = "QM_kioskStation";
const char* const QMOverlayPath = "QM_overlayPath";
const char* const QMMuxedMovieName = "QM_muxedMovieName";
const char* const QMKestrelInfo = "QM_kestrelInfo";

std::optional<Dict> readPngTrailer(ByteSource& source, PngTrailerStatus* status) {
  if (source.size() <= kSorvPngMetaDataLength) {
    *status = PngTrailerStatus::TooShort;
    return std::nullopt;
  }
  std::string trailer(kSorvPngMetaDataLength, '\0');
  if (!source.readExact(source.size() - kSorvPngMetaDataLength, trailer.data(), trailer.size())) {
    *status = PngTrailerStatus::ReadFailed;
    return std::nullopt;
  }
  std::optional<Dict> dict = parseDictionaryText(trailer);
  *status = dict ? PngTrailerStatus::Ok : PngTrailerStatus::NotPropertyList;
  return dict;
}

std::optional<Dict> readUserComment(ByteSource& source, UserCommentStatus* status) {
  std::optional<std::string> app1 = readExifApp1(source);
  std::optional<ExifFields> fields = app1 ? parseExifApp1(*app1) : std::nullopt;
  if (!fields) {
    *status = UserCommentStatus::NoExif;
    return std::nullopt;
  }
  if (!fields->userComment) {
    *status = UserCommentStatus::NoUserComment;
    return std::nullopt;
  }
  const std::vector<std::uint8_t>& raw = *fields->userComment;
  std::optional<std::string> text = decodeUserComment(raw.data(), raw.size(), fields->bigEndian);
  if (!text) {
    *status = UserCommentStatus::NotText;
    return std::nullopt;
  }
  std::optional<Dict> dict = parseDictionaryText(*text);
  *status = dict ? UserCommentStatus::Ok : UserCommentStatus::NotPropertyList;
  return dict;
}

namespace {

void reportString(const Dict& d, const char* key, const char* format) {
  if (const std::string* s = dictGetString(d, key)) NSLog(format, s->c_str());
}

}  // namespace

std::optional<Dict> getSorvMetaDataFromPng(const std::string& path) {
  if (strcasecmp(pathExtension(path).c_str(), "png") != 0) {
    NSLog("getSorvMetaDataFromPng found that [%s] is NOT a png file...", path.c_str());
    return std::nullopt;
  }
  std::unique_ptr<FileSource> file = FileSource::open(path);
  if (!file) {
    NSLog("getSorvMetaDataFromPng cannot open filename: [%s]", path.c_str());
    return std::nullopt;
  }
  PngTrailerStatus status;
  std::optional<Dict> dict = readPngTrailer(*file, &status);
  switch (status) {
    case PngTrailerStatus::Ok:
      break;
    case PngTrailerStatus::TooShort:
      NSLog(
          "getSorvMetaDataFromPng => File Length is smaller than kSorvPngMetaDataLength = "
          "[%i]?????",
          static_cast<int>(kSorvPngMetaDataLength));
      return std::nullopt;
    case PngTrailerStatus::ReadFailed:
      NSLog("getSorvMetaDataFromPng cannot open filename: [%s]", path.c_str());
      return std::nullopt;
    case PngTrailerStatus::NotPropertyList:
      NSLog("getSorvMetaDataFromPng => CANNOT create userdata to plistObj???");
      return std::nullopt;
  }
  reportString(*dict, "Version", "Found versionString = [%s]");
  reportString(*dict, "OriginalPath", "Found originalPath = [%s]");
  return dict;
}

std::optional<Dict> getSorvMetaDataFromJpeg(const std::string& path) {
  std::unique_ptr<FileSource> file = FileSource::open(path);
  if (!file) {
    NSLog("getSorvMetaDataFromJpeg cannot open filename: [%s]", path.c_str());
    return std::nullopt;
  }
  UserCommentStatus status;
  std::optional<Dict> dict = readUserComment(*file, &status);
  switch (status) {
    case UserCommentStatus::Ok:
      break;
    case UserCommentStatus::NoExif:
    case UserCommentStatus::NoUserComment:
      return std::nullopt;
    case UserCommentStatus::NotText:
      NSLog(
          "getSorvMetaDataFromJpeg => could NOT convert userComment to NSData with "
          "NSUTF8StringEncoding?????");
      return std::nullopt;
    case UserCommentStatus::NotPropertyList:
      NSLog("getSorvMetaDataFromJpeg => CANNOT create userdata to plistObj???");
      return std::nullopt;
  }
  if (const Value* emails = dictGet(*dict, QMEmailsForUpload))
    NSLog("Found %s = [%s]", QMEmailsForUpload, emails->description().c_str());
  reportString(*dict, "Version", "Found versionString = [%s]");
  reportString(*dict, "OriginalPath", "Found originalPath = [%s]");
  return dict;
}

std::optional<Dict> readUserCommentPropertyList(const std::string& path) {
  std::unique_ptr<FileSource> file = FileSource::open(path);
  if (!file) return std::nullopt;
  UserCommentStatus status;
  return readUserComment(*file, &status);
}

}  // namespace sorv
