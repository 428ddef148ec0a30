// Texts of the metadata block: the EXIF UserComment's character codes, UTF-8 checks, and the
// property-list text whose root must be a dictionary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/MacRoman.h"  // isValidUtf8
#include "platform/Value.h"

namespace sorv {

// UTF-16 in the given byte order to UTF-8; nullopt on an odd length or an unpaired surrogate.
std::optional<std::string> utf16ToUtf8(const std::uint8_t* p, std::size_t n, bool bigEndian);

// The comment's text as UTF-8 with its 8-byte character code removed: "ASCII\0\0\0" and
// "\0\0\0\0\0\0\0\0" (undefined) as UTF-8, "UNICODE\0" as UTF-16 (byte order from a BOM, else
// from the first character, else the TIFF byte order), "JIS\0\0\0\0\0" as ISO-2022-JP. A comment
// without a known code is taken whole as UTF-8. nullopt when the bytes are not valid text.
std::optional<std::string> decodeUserComment(const std::uint8_t* p, std::size_t n,
                                             bool tiffBigEndian);

// Parses a property-list text followed by optional NUL or white-space padding; nullopt unless
// it is valid UTF-8, parses, and has a dictionary at its root.
std::optional<Dict> parseDictionaryText(std::string_view text);

}  // namespace sorv
