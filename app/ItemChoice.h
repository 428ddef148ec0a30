// The scan's choice of the next item: which entries of the source folder's walk may be
// uploaded, and which of the verdicts hold until the file changes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "files/FolderEnumerator.h"
#include "platform/Value.h"

namespace sorv {

// What the choice depends on: the settings of the pass and the reads it makes of each file.
struct ItemRules {
  bool formBaseId = false;   // "prefFormBaseIdFromFileName": valid images anywhere in the tree
  bool uploadMovie = false;  // "prefUploadMovie": an item waits for its ".mov" beside it
  bool clientLogin = false;  // a client login uploads photos without embedded metadata
  // Reads of one file; info is the walk's fresh lstat of path.
  std::function<bool(const std::string& path, const FileInfo& info)> isValidImage;
  std::function<std::optional<Dict>(const std::string& path, const FileInfo& info)> metaDataOf;
  // True while the item waits out a hold after repeated failures; null when none is held.
  std::function<bool(const std::string& path)> isHeld;
  // True when path is a regular file of its own (a link never counts).
  std::function<bool(const std::string& path)> movieIsThere;
};

// The verdict on one file entry of the walk (not a folder): Stop when it is the item to
// upload; Unchanged when it is turned down for what it is (its name, type or own contents),
// which holds until the file changes; Continue when it is turned down for now.
FolderEnumerator::Visit judgeScanEntry(const FolderEntry& entry, const ItemRules& rules);

// The first entry, in walk order, that judgeScanEntry stops at; folders are passed over.
std::optional<FolderEntry> chooseNextItem(const std::vector<FolderEntry>& entries,
                                          const ItemRules& rules);

// The movie named by the metadata, when it is a plain file name: a name with a folder in it
// could point anywhere, and the movie is sent and moved with the photo. Logs the others.
const std::string* safeMovieName(const Dict& meta, const std::string& photo);

}  // namespace sorv
