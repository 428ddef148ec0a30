// The user's trash: the freedesktop.org trash ($XDG_DATA_HOME/Trash, ~/.local/share/Trash),
// files/ for the items and info/ for their .trashinfo records.
#pragma once

#include <string>

namespace sorv {

// $XDG_DATA_HOME/Trash, else ~/.local/share/Trash. Not created here.
std::string userTrashPath();

// Moves the file at path into the trash with its .trashinfo record. A name taken in the trash
// gets the local time appended (" 20261207_124621"). False, with a console line, when the item
// is not deletable or the move fails; the item then stays where it was.
bool moveFileToUserTrash(const std::string& path);

}  // namespace sorv
