// Moving one file so that it is never lost or truncated: whole at its source or whole at its
// destination, whenever the process is killed.
#pragma once

#include <string>

#include "platform/fs/FileSystem.h"

namespace sorv {

// Names of the temporary copies of moves across file systems begin with this.
extern const char* const kPartialMovePrefix;  // ".sorv-partial-"

// Moves `from` to `to` (a rename on one file system; across file systems a synced copy under
// a temporary name, renamed into place, the folder synced, then the source removed). With
// replace false an existing destination is never replaced (EEXIST), except that a
// destination byte-identical to the source, left by a move killed after its copy was in
// place, completes that move. First removes leftover temporary copies of killed moves in the
// destination folder. Returns 0 or an errno value; on failure the file is still at `from`.
int moveFileSafely(FileSystem& fs, const std::string& from, const std::string& to, bool replace);

// Removes the temporary copies that moves of processes no longer running left in folder.
void removeLeftoverPartialMoves(FileSystem& fs, const std::string& folder);

}  // namespace sorv
