// What a text from outside (a site's reply, its status or message) may add to a log line or a
// status line: a site that answers with a megabyte would otherwise fill the message log and
// the journal with it at every failure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sorv {

inline constexpr std::size_t kMaxLoggedReplyBytes = 4 * 1024;

// text itself when it has at most limit bytes; else its first limit bytes (fewer when that
// would cut a UTF-8 character) and "... (N bytes more)".
std::string clippedForLog(std::string_view text, std::size_t limit = kMaxLoggedReplyBytes);

}  // namespace sorv
