#include "log/MessageLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
  return appendingPathComponent(logFolderPath(), Bundle::displayName() + "Log.txt");
}

void MessageLog::InitLog() {
  const std::string path = logFilePath();
  createFolderWithParents(deletingLastPathComponent(path));
  // The previous run's entries explain why this run began (a relaunch, a crash): kept once.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    ::rename(path.c_str(), (path + ".1").c_str());
  // Never through a link, and never a device or a pipe that would block the writers.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  0644);
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    fd = -1;
    errno = EINVAL;
  }
  const int openError = fd < 0 ? errno : 0;
  {
    MutexLock l(&gLogThreadLock);
    if (gLogFile) std::fclose(gLogFile);
    // A file that cannot be created leaves the log open with no file: entries are dropped.
    gLogFile = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!gLogFile && fd >= 0) ::close(fd);
    gLogOpen = true;
  }
  if (fd < 0)
    NSLog("The message log [%s] cannot be opened (%s); this run keeps no message log", path.c_str(),
          openError == EINVAL ? "not a regular file" : std::strerror(openError));
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
  consolePrintf("%s", text.c_str());
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
