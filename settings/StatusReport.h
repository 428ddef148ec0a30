// The cycle's status as the remote control carries it (GetStatus' a{sv}) and as sorvctl
// prints it: `Key: value` lines or one JSON object, and the health verdict's threshold.
// The agent fills the dictionary; the client only formats it.
#pragma once

#include <string>
#include <string_view>

#include "platform/Value.h"

namespace sorv {

// Keys of the status dictionary. Texts are "s", counts "x", seconds "d", the verdict "b";
// a time that has none (no success yet) is left out.
inline constexpr const char* kStatusState = "state";
inline constexpr const char* kStatusCurrentItem = "current_item";
inline constexpr const char* kStatusWaiting = "waiting";
inline constexpr const char* kStatusHeldBack = "held_back";
inline constexpr const char* kStatusOldestWaiting = "oldest_waiting_seconds";
inline constexpr const char* kStatusUploadedToday = "uploaded_today";
inline constexpr const char* kStatusUploadedSinceStart = "uploaded_since_start";
inline constexpr const char* kStatusBytesUploaded = "bytes_uploaded";
inline constexpr const char* kStatusLastSuccess = "last_success";  // seconds since the epoch
inline constexpr const char* kStatusLastSuccessItem = "last_success_item";
inline constexpr const char* kStatusLastFailure = "last_failure";  // seconds since the epoch
inline constexpr const char* kStatusLastFailureItem = "last_failure_item";
inline constexpr const char* kStatusLastFailureReason = "last_failure_reason";
inline constexpr const char* kStatusProblemFolder = "problem_folder";
inline constexpr const char* kStatusHealthy = "healthy";
inline constexpr const char* kStatusHealthReason = "health_reason";

// SORV_HEALTH_MINUTES: a finite number of minutes above 0 (decimals allowed, at most 32
// characters); anything else, or nullptr, means the default.
inline constexpr double kDefaultHealthMinutes = 15;
double healthMinutesFromText(const char* text);

// text as the inside of a JSON string: quotes, backslashes and control characters escaped,
// bytes that are not valid UTF-8 each replaced by U+FFFD.
std::string jsonEscaped(std::string_view text);
// seconds since the epoch as ISO 8601 in UTC ("2026-05-01T10:20:30Z").
std::string isoTime(double seconds);
// "45 s", "3 min 20 s", "2 h 05 min".
std::string ageText(double seconds);

// sorvctl status: State, Current item, Waiting, Held back, Oldest waiting, Uploaded today,
// Uploaded since start, Last success, Last failure, Problem folder; one `Key: value` a line,
// control characters in names shown as '?'.
std::string statusLines(const Dict& status);
// sorvctl status --json: one object, without a trailing newline.
std::string statusJson(const Dict& status);

}  // namespace sorv
