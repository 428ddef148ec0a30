// Replacing a file's whole contents so that a reader sees the old file or the new one, never
// a part: the data goes to a new file beside it, which is then renamed over it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/fs/FileSystem.h"

namespace sorv {

// What writeFileAtomically gives when path names something other than a regular file, which
// a rename would replace: nothing is written and it is left as it is. Negative, so never an
// errno value.
enum AtomicWriteRefusal : int {
  kRefusedLink = -1,
  kRefusedFolder = -2,
  kRefusedDevice = -3,
  kRefusedFifo = -4,
  kRefusedSocket = -5,
};

// True for the refusals above.
inline bool isAtomicWriteRefusal(int rc) {
  return rc < 0;
}

// The refusal for what info describes (found by lstat), or 0 for a regular file.
int refusalFor(const FileInfo& info);
// The refusal for what path names now (not following a link), or 0 when a rename may replace
// it: nothing there, or a regular file.
int refusalAt(FileSystem& fs, const std::string& path);

// In words: "it is a symbolic link, not a regular file" for a refusal, else the errno text.
std::string atomicWriteErrorText(int rc);

// True the first time it is asked about this path and refusal, so that a writer that tries
// again and again says it once per path and kind.
bool firstRefusalOf(const std::string& path, int rc);

// Writes data to a new file named path + ".XXXXXX" in path's folder, gives it mode, and
// renames it over path. Only a missing path or a regular file is replaced: anything else (a
// link, a folder, a device, a FIFO, a socket) gives its refusal (the caller says so, once per
// path and kind with firstRefusalOf). With sync, the data reach the disk before the rename and the
// rename before the return (fsync of the file and of the folder). 0, a refusal or an errno value;
// on failure path is untouched and the temporary file is gone. Safe from several threads.
int writeFileAtomically(FileSystem& fs, const std::string& path, std::string_view data,
                        std::uint32_t mode, bool sync);

}  // namespace sorv
