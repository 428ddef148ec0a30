// The small rules that make a file an upload item.
#pragma once

#include <optional>
#include <string>

namespace sorv {

// True when the file decodes completely as an image (JPEG, PNG; by content, not name).
bool IsValidImageObject(const std::optional<std::string>& path);
// File name without extension, trimmed, up to the first "_", else up to the first blank.
std::string getBaseIDFromFileName(const std::string& pathOrName);
// <name>.mov, else <name>_muxed.mov beside the image, when it exists.
std::optional<std::string> getMatchingExistingMovieFilePath(
    const std::optional<std::string>& imagePath);
// Listed in the parent folder's ".hidden" file, or one of the fixed system paths.
bool isInvisibleFileAtPath2(const std::string& path);

}  // namespace sorv
