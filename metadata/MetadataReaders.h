// The metadata readers over any byte source, with the reason of a failure; the path-based
// readers of PhotoMetadata.h add the console lines. Used directly by the fuzz targets.
#pragma once

#include <optional>

#include "metadata/ByteSource.h"
#include "platform/Value.h"

namespace sorv {

enum class PngTrailerStatus { Ok, TooShort, ReadFailed, NotPropertyList };
// The dictionary in the last kSorvPngMetaDataLength bytes (read by one seek).
std::optional<Dict> readPngTrailer(ByteSource& source, PngTrailerStatus* status);

enum class UserCommentStatus { Ok, NoExif, NoUserComment, NotText, NotPropertyList };
// The dictionary in the EXIF UserComment of a JPEG (only the segments up to its EXIF APP1
// are read).
std::optional<Dict> readUserComment(ByteSource& source, UserCommentStatus* status);

}  // namespace sorv
