// Console lines in the style of NSLog: "2026-12-08 15:50:19.123 Sorv-FTPUploader[123:main] text"
// on standard error, one write per line. When standard error is the journal (under systemd),
// each message is instead one journal entry with a priority and no time stamp or process of
// our own: the journal keeps those.
#pragma once

#include <string>

#include "platform/Journal.h"

namespace sorv {

void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void NSLogText(const std::string& text);  // the text is written literally
// The same with a priority of the caller's choice rather than one read from the text.
void NSLogTextWithPriority(LogPriority priority, const std::string& text);
// The priority a console text gets from its first word (after an "NSLog = " echo prefix):
// ERROR or FAILED 3, WARNING or UNABLE 4 (any case), the "Inside ..." traces 7, the rest 6.
LogPriority consolePriority(const std::string& text);

// Diagnostic text written as it is, blank lines and all (fprintf to standard error); under the
// journal one entry without its leading and trailing line ends, and nothing for a blank text.
void consolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The item being uploaded (relative path, as shown to an operator), sent with journal entries
// as SORV_ITEM until it is set to "" again. Safe from any thread.
void setConsoleItem(const std::string& item);

// The process name used in console lines (defaults to the executable's name).
void setConsoleProcessName(const std::string& name);

// printf-style formatting into a std::string.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sorv
