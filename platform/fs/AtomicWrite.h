// Replacing a file's whole contents so that a reader sees the old file or the new one, never
// a part: the data goes to a new file beside it, which is then renamed over it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/fs/FileSystem.h"

namespace sorv {

// Writes data to a new file named path + ".XXXXXX" in path's folder, gives it mode, and
// renames it over path. With sync, the data reach the disk before the rename and the rename
// before the return (fsync of the file and of the folder). 0 or an errno value; on failure
// path is untouched and the temporary file is gone. Safe from several threads.
int writeFileAtomically(FileSystem& fs, const std::string& path, std::string_view data,
                        std::uint32_t mode, bool sync);

}  // namespace sorv
