// The message log in the log folder: "<display name>Log.txt", begun afresh at each start with
// the previous run's file kept as "<display name>Log.txt.1", one "[asctime] ==> text" entry per
// call, serialised by a lock.
#pragma once

#include <ctime>
#include <string>

namespace sorv {

class MessageLog {
 public:
  // Makes the log folder when missing; a file that cannot be opened (or is not a regular file)
  // is said once on the console and its entries are dropped.
  static void InitLog();
  // Writes one entry (the text literally, never as a format); echo copies it to the console
  // as "NSLog = <text>". Before InitLog / after CloseLog the console gets
  // "Logfile may be closed already?????" instead of the entry.
  static void LogMessage(const char* text, bool echo);
  static void LogMessage(const std::string& text);  // never echoes
  static void CloseLog();

  // The file InitLog opens (for tests and the demo).
  static std::string logFilePath();
};

// Formats like NSLog (a "\n" is appended to the format when missing), writes the text to
// standard error and as a message-log entry.
void myNSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Both write the text to standard output unchanged; nothing reaches the message log.
void myPrintf(const char* text);
void myPrintfDebug(const char* text);
void myPrintfInternal(const char* text, bool toStdout, bool logIt);  // logIt has no effect

// The 24-character asctime form without its newline: "Mon Dec  7 12:46:21 2026".
std::string asctimeStamp(const struct tm& t);

}  // namespace sorv
