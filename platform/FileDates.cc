#include "platform/FileDates.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace sorv {

namespace {

Date toDate(const struct statx_timestamp& t) {
  return Date{static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9};
}

class StatxFileDates : public FileDates {
 public:
  std::optional<FileDateInfo> read(const std::string& path) override {
    struct statx stx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &stx) != 0) {
      return std::nullopt;
    }
    if (!(stx.stx_mask & STATX_MTIME)) return std::nullopt;
    FileDateInfo info;
    info.modification = toDate(stx.stx_mtime);
    if (stx.stx_mask & STATX_BTIME) info.creation = toDate(stx.stx_btime);
    return info;
  }

  bool setCreationDate(const std::string&, Date) override { return false; }
};

}  // namespace

FileDates& realFileDates() {
  static StatxFileDates dates;
  return dates;
}

}  // namespace sorv
