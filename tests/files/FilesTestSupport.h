// Helpers of the file tests: a snapshot of what a folder tree holds, a temporary home. Folders
// on tmpfs beside the disk's are TempDir(TempDir::kMemory).
#pragma once

#include <map>
#include <optional>
#include <string>

#include "tests/support/TempDir.h"

namespace sorv::test {

// Every entry below root: relative path → file bytes, or "<dir>" for a folder.
std::map<std::string, std::string> treeOf(const std::string& root);

// Sets the environment so that nothing touches the real home.
void useTemporaryHome(const std::string& folder);

}  // namespace sorv::test
