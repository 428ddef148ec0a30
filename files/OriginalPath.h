// Helpers of the original-path search, shared with the order walk.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sorv {

// The components of a path as the platform splits them: "/" first for an absolute path,
// then each non-empty name ("/a//b/" gives "/", "a", "b").
std::vector<std::string> pathComponents(const std::string& path);

// True when one of the path's components is "..": such a path could climb out of every
// search root.
bool hasParentDirectoryComponent(const std::string& path);

// The recorded path with its %XX escapes undone (each escaped byte read as Mac OS Roman);
// nullopt when an escape is malformed.
std::optional<std::string> decodedRecordedPath(const std::string& recorded);

}  // namespace sorv
