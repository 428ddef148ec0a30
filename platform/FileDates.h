// The creation and modification dates of files, behind an interface so that tests can give a
// file any dates.
#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv {

struct FileDateInfo {
  std::optional<Date> creation;  // nullopt when the file system records no creation date
  Date modification;
};

class FileDates {
 public:
  virtual ~FileDates() = default;
  // The dates of the item at path, following a symbolic link; nullopt when it cannot be read
  // (for example, it no longer exists). Safe from several threads.
  virtual std::optional<FileDateInfo> read(const std::string& path) = 0;
  // Sets the item's creation date; false when the file system cannot.
  virtual bool setCreationDate(const std::string& path, Date date) = 0;
};

// The real dates: statx, with the birth time as the creation date where the file system
// records it. Linux offers no call that sets a birth time, so setCreationDate always fails.
FileDates& realFileDates();

// currentEnv().fileDates() (platform/Env.h).
FileDates& defaultFileDates();

}  // namespace sorv
