#include "log/MessageLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Mutex.h"
#include "platform/Paths.h"

namespace sorv {

namespace {

// The lock always exists, so a writer can never meet a lock that CloseLog is freeing; the
// open state is a flag guarded by it.
Mutex gLogThreadLock;
bool gLogOpen GUARDED_BY(gLogThreadLock) = false;
// Null while closed, or when the file could not be created.
std::FILE* gLogFile GUARDED_BY(gLogThreadLock) = nullptr;

// Closes the file if the process ends without CloseLog.
struct LogFileCloser {
  ~LogFileCloser() {
    MutexLock l(&gLogThreadLock);
    if (gLogFile) std::fclose(gLogFile);
    gLogFile = nullptr;
    gLogOpen = false;
  }
} gLogFileCloser;

}  // namespace

std::string asctimeStamp(const struct tm& t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* day = t.tm_wday >= 0 && t.tm_wday < 7 ? kDays[t.tm_wday] : "???";
  const char* month = t.tm_mon >= 0 && t.tm_mon < 12 ? kMonths[t.tm_mon] : "???";
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s %s%3d %.2d:%.2d:%.2d %lld", day, month, t.tm_mday, t.tm_hour,
                t.tm_min, t.tm_sec, static_cast<long long>(t.tm_year) + 1900);
  return buf;
}

std::string MessageLog::logFilePath() {
  std::string folder = deletingLastPathComponent(Bundle::bundlePath());
  return appendingPathComponent(folder, Bundle::displayName() + "Log.txt");
}

void MessageLog::InitLog() {
  std::string path = logFilePath();
  MutexLock l(&gLogThreadLock);
  if (gLogFile) std::fclose(gLogFile);
  // A file that cannot be created leaves the log open with no file: entries are dropped.
  gLogFile = std::fopen(path.c_str(), "w");
  gLogOpen = true;
}

void MessageLog::LogMessage(const char* text, bool echo) {
  if (!text) text = "(null)";
  bool written = false;
  {
    MutexLock l(&gLogThreadLock);
    if (gLogOpen) {
      std::time_t now = std::time(nullptr);
      struct tm local {};
      localtime_r(&now, &local);
      std::string stamp = asctimeStamp(local);
      if (gLogFile) {
        // Written piece by piece: the text is never a format and is never cut.
        std::fputc('[', gLogFile);
        std::fputs(stamp.c_str(), gLogFile);
        std::fputs("] ==> ", gLogFile);
        std::fputs(text, gLogFile);
        std::fputc('\n', gLogFile);
        std::fflush(gLogFile);
      }
      written = true;
    }
  }
  if (!written) NSLog("Logfile may be closed already?????");
  if (echo) NSLog("NSLog = %s", text);
}

void MessageLog::LogMessage(const std::string& text) {
  LogMessage(text.c_str(), false);
}

void MessageLog::CloseLog() {
  MutexLock l(&gLogThreadLock);
  if (gLogFile) std::fclose(gLogFile);
  gLogFile = nullptr;
  gLogOpen = false;
}

namespace {

std::string formatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, format, args);
  return out;
}

}  // namespace

void myNSLog(const char* format, ...) {
  if (!format) return;
  std::string fmt = format;
  if (fmt.empty() || fmt.back() != '\n') fmt += '\n';
  va_list args;
  va_start(args, format);
  std::string text = formatV(fmt.c_str(), args);
  va_end(args);
  std::fputs(text.c_str(), stderr);
  MessageLog::LogMessage(text);
}

void myPrintfInternal(const char* text, bool toStdout, bool /*logIt*/) {
  if (!toStdout || !text) return;
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void myPrintf(const char* text) {
  myPrintfInternal(text, true, true);
}

void myPrintfDebug(const char* text) {
  myPrintfInternal(text, true, true);
}

}  // namespace sorv
