// "problems.jsonl" in the log folder: one JSON object a line for every photo moved into the
// problem folder, saying why. Lines are appended with O_APPEND in one write each, so that
// lines of two writers never mix. File names may hold any bytes: a byte that is not part of
// valid UTF-8 is written as the escape \udc80 to \udcff (the byte plus 0xdc00), which the
// reader turns back into the byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/fs/FileSystem.h"

namespace sorv {

inline constexpr const char* kProblemJournalName = "problems.jsonl";

struct ProblemRecord {
  std::string time;   // ISO 8601, UTC ("2026-05-01T10:20:30Z")
  std::string path;   // the photo, relative to the problem folder, as it lies there
  std::string movie;  // its movie, relative to the problem folder; "" when none
  std::optional<long> httpStatus;
  std::string siteStatus;      // the site's status word ("ERROR", "Warning", ...); "" when none
  std::string siteMessage;     // the site's message; "" when none
  std::string transportError;  // why the site could not be reached; "" when none
  std::string reason;          // in words, as the operator was shown it
  bool operator==(const ProblemRecord&) const = default;
};

// Lines longer than this are neither written whole nor read.
inline constexpr std::size_t kMaxProblemLineBytes = 64 * 1024;
// Only this much of the end of the file is read.
inline constexpr std::size_t kMaxProblemJournalBytes = 16 * 1024 * 1024;

// The record as one line, with its line end. Texts are cut so that the line stays below
// kMaxProblemLineBytes.
std::string formatProblemLine(const ProblemRecord& record);
// One line (without its line end) back into a record; nullopt when it is not a JSON object
// of known shape or has no "path". Unknown keys are skipped.
std::optional<ProblemRecord> parseProblemLine(std::string_view line);

// Past this size the file is renamed to file + ".1" (replacing the older one) and a new file
// is begun, so that the reasons never take more than twice this.
inline constexpr std::uint64_t kProblemJournalRotateBytes = 16 * 1024 * 1024;
inline constexpr const char* kProblemJournalOldSuffix = ".1";

// Appends the record to file (created with mode 0600 when missing) in one write, rotating it
// first when it has reached rotateAt bytes. Only a regular file is written: a link at file is
// refused (ELOOP), another kind of file gives its refusal (platform/fs/AtomicWrite.h). A
// rotation that cannot be done (file + ".1" is not a regular file, say) leaves the line in
// file and sets *rotationFailure, when given, to its refusal or errno value. Gives 0 or an
// errno or refusal value.
int appendProblemRecord(FileSystem& fs, const std::string& file, const ProblemRecord& record,
                        std::uint64_t rotateAt = kProblemJournalRotateBytes,
                        int* rotationFailure = nullptr);

// The latest record of each path in `wanted`, from the last kMaxProblemJournalBytes of file,
// and for paths it does not name, of file + ".1". A missing or unreadable file gives none;
// bad lines are skipped.
std::map<std::string, ProblemRecord> latestProblemRecords(FileSystem& fs, const std::string& file,
                                                          const std::set<std::string>& wanted);

// "yyyy-MM-ddTHH:mm:ssZ" of seconds since 1970.
std::string isoTimeUtc(double secondsSince1970);

// Length of the valid UTF-8 sequence that begins at s[i] (i < s.size()), or 0 when none does.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i);

// The record's reason in words: its "reason", else what its fields say; "unknown" for none.
std::string problemReasonText(const std::optional<ProblemRecord>& record);

}  // namespace sorv
