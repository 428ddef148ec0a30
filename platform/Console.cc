#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/Thread.h"

namespace sorv {

namespace {

std::mutex& nameMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string& processName() {
  static std::string* name = [] {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : "sorv";
    size_t slash = path.rfind('/');
    return new std::string(slash == std::string::npos ? path : path.substr(slash + 1));
  }();
  return *name;
}

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

void setConsoleProcessName(const std::string& name) {
  std::lock_guard<std::mutex> lock(nameMutex());
  processName() = name;
}

void NSLogText(const std::string& text) {
  using namespace std::chrono;
  auto now = system_clock::now();
  time_t secs = system_clock::to_time_t(now);
  auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  if (millis < 0) millis += 1000;
  struct tm tm {};
  localtime_r(&secs, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(millis));
  std::string name;
  {
    std::lock_guard<std::mutex> lock(nameMutex());
    name = processName();
  }
  std::string line = std::string(stamp) + " " + name + "[" + std::to_string(getpid()) + ":" +
                     currentThreadName() + "] " + text;
  if (line.empty() || line.back() != '\n') line += '\n';
  // One write per line keeps lines from different threads whole.
  writeAll(STDERR_FILENO, line);
}

void NSLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  NSLogText(text);
}

std::string stringWithFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return text;
}

}  // namespace sorv
