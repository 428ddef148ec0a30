// Console lines in the style of NSLog: "2026-12-08 15:50:19.123 Sorv-FTPUploader[123:main] text"
// on standard error, one write per line.
#pragma once

#include <string>

namespace sorv {

void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void NSLogText(const std::string& text);  // the text is written literally

// The process name used in console lines (defaults to the executable's name).
void setConsoleProcessName(const std::string& name);

// printf-style formatting into a std::string.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sorv
