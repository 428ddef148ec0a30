// Cleaning of folder trees: the emptiness and age tests, and the deletion of old photos.
// The walks of QMI_FileManager::deleteFolderIfEmpty and of deleteOldPhotosBelow work on open
// folder descriptors (see DescriptorWalk.h): they delete only image files and empty folders,
// never follow a link below their root and never delete anything outside it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv {

class myProgressWindowController;

// The attribute name the callers of itemIsEarlierThan pass.
inline constexpr const char* kNSFileModificationDate = "NSFileModificationDate";

// True when the folder has no entries, or only a regular file ".DS_Store"; false otherwise,
// and false when it cannot be listed.
bool isDirectoryEmpty(const std::string& folder);

// The date that ages an item: its creation date, or its modification date where the creation
// date is a zero date (1904-01-01, 1970-01-01 UTC) or none is recorded (no birth time).
// Follows a link; nullopt when the item has no readable dates.
std::optional<Date> itemAgeDate(const std::string& path);
// True when that date is strictly earlier than cutoff. Only the modification-date attribute
// is known; nullptr counts as it.
bool itemIsEarlierThan(const std::string& path, Date cutoff,
                       const char* attribute = kNSFileModificationDate);

// The reason a folder may not be the root of a cleaning walk ("/", the home folder, or
// `protectedFolder` itself or a folder inside it), or nullopt when it may be.
std::optional<std::string> refusalForCleaningRoot(
    const std::string& root, const std::optional<std::string>& protectedFolder = std::nullopt);

struct OldPhotoCounts {
  std::size_t deleted = 0;
  std::size_t failed = 0;   // deletions the file system refused
  std::size_t skipped = 0;  // old files that are not images
};

// Deletes every image file below root whose age date is strictly earlier than cutoff; other
// files, folders and links are kept. The folder `sourceFolder` (when it lies below root) is not
// entered: a photo still waiting for its upload is never deleted by age. The window's second
// line shows each deletion; shouldStop ends the walk early (quit). Root checks are the caller's.
OldPhotoCounts deleteOldPhotosBelow(const std::string& root, Date cutoff,
                                    myProgressWindowController* window,
                                    const std::optional<std::string>& sourceFolder,
                                    const std::function<bool()>& shouldStop = nullptr);

}  // namespace sorv
