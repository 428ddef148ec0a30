#include "app/ItemChoice.h"

#include <strings.h>

#include "metadata/PhotoMetadata.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace sorv {

using Visit = FolderEnumerator::Visit;

Visit judgeScanEntry(const FolderEntry& entry, const ItemRules& rules) {
  const bool regular = entry.info.type == FileType::Regular;
  const std::string name = lastPathComponent(entry.relativePath);
  if (!name.empty() && name[0] == '.') return Visit::Unchanged;
  // A link may point anywhere on the machine; only the tree's own files are sent.
  if (entry.info.type == FileType::Symlink) return Visit::Unchanged;
  bool candidate;
  bool logged = false;
  if (rules.formBaseId) {
    candidate = rules.isValidImage(entry.fullPath, entry.info);
  } else {
    candidate = entry.relativePath.find('/') != std::string::npos;
    if (!candidate) {
      NSLog("Root Item [%s] May NOT be Uploaded!!!!!", entry.fullPath.c_str());
      logged = true;
    }
  }
  const Visit turnedDown = regular && !logged ? Visit::Unchanged : Visit::Continue;
  if (strcasecmp(pathExtension(name).c_str(), "mov") == 0) return turnedDown;
  if (!candidate) return turnedDown;
  // An item that keeps failing waits out its hold while the photos behind it go.
  if (rules.isHeld && rules.isHeld(entry.fullPath)) return Visit::Continue;
  auto meta = rules.metaDataOf(entry.fullPath, entry.info);
  if (!meta && !rules.clientLogin) return turnedDown;
  if (rules.uploadMovie &&
      !rules.movieIsThere(appendingPathExtension(deletingPathExtension(entry.fullPath), "mov")))
    return Visit::Continue;
  if (meta) {
    if (const std::string* movie = safeMovieName(*meta, entry.fullPath)) {
      std::string moviePath =
          appendingPathComponent(deletingLastPathComponent(entry.fullPath), *movie);
      if (!rules.movieIsThere(moviePath)) return Visit::Continue;
    }
  }
  return Visit::Stop;
}

std::optional<FolderEntry> chooseNextItem(const std::vector<FolderEntry>& entries,
                                          const ItemRules& rules) {
  for (const FolderEntry& entry : entries)
    if (!entry.isFolder() && judgeScanEntry(entry, rules) == Visit::Stop) return entry;
  return std::nullopt;
}

const std::string* safeMovieName(const Dict& meta, const std::string& photo) {
  const std::string* movie = dictGetString(meta, QMMuxedMovieName);
  if (!movie) return nullptr;
  if (movie->empty() || *movie == "." || *movie == ".." || movie->find('/') != std::string::npos) {
    NSLog("Ignoring the movie name [%s] of [%s]: not a file name in the photo's folder",
          movie->c_str(), photo.c_str());
    return nullptr;
  }
  return movie;
}

}  // namespace sorv
