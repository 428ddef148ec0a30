// The suite's metadata block: an XML property list in the last 2048 bytes of a PNG or in a
// JPEG's EXIF UserComment. Readers never throw and read only what they need.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv {

constexpr std::size_t kSorvPngMetaDataLength = 2048;

// Keys of the metadata block.
extern const char* const QMEmailsForUpload;  // "QM_emailsForUpload"
extern const char* const QMKioskStation;     // "QM_kioskStation"
extern const char* const QMOverlayPath;      // "QM_overlayPath"
extern const char* const QMMuxedMovieName;   // "QM_muxedMovieName"
extern const char* const QMKestrelInfo;      // "QM_kestrelInfo"

// The block's root dictionary, or nullopt (with the console line of each failure).
std::optional<Dict> getSorvMetaDataFromPng(const std::string& path);
std::optional<Dict> getSorvMetaDataFromJpeg(const std::string& path);

// The EXIF UserComment of an image parsed as a property list whose root is a dictionary,
// without the console diagnostics of getSorvMetaDataFromJpeg; nullopt when absent.
std::optional<Dict> readUserCommentPropertyList(const std::string& path);

}  // namespace sorv
