#include "platform/Console.h"

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/Env.h"
#include "platform/Thread.h"

namespace sorv {

namespace {

std::mutex& nameMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string& consoleItem() {
  static std::string* item = new std::string;
  return *item;
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

// Standard error under a service manager is a stream socket to the journal, which stalls when
// the journal does: there a line the socket cannot take now is dropped rather than waited for.
void writeWithoutWaiting(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOTSOCK) return writeAll(fd, bytes.substr(done));
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

bool startsWithWord(const std::string& text, size_t at, const char* word) {
  const size_t n = std::strlen(word);
  if (text.size() < at + n || strncasecmp(text.c_str() + at, word, n) != 0) return false;
  return text.size() == at + n || !std::isalpha(static_cast<unsigned char>(text[at + n]));
}

// Sends text as one journal entry when the journal is the console; false otherwise.
bool sentToJournal(LogPriority priority, const std::string& text) {
  Journal& journal = defaultJournal();
  if (!journal.active()) return false;
  JournalEntry entry;
  entry.priority = priority;
  entry.message = text;
  // A carriage return would make the journal show the entry as binary data.
  std::replace(entry.message.begin(), entry.message.end(), '\r', '\n');
  while (!entry.message.empty() && entry.message.back() == '\n') entry.message.pop_back();
  entry.fields.emplace_back("SORV_THREAD", currentThreadName());
  {
    std::lock_guard<std::mutex> lock(nameMutex());
    if (!consoleItem().empty()) entry.fields.emplace_back("SORV_ITEM", consoleItem());
  }
  if (journal.send(entry)) return true;
  // No journal at its native socket: the stream still takes one "<priority>" line a line.
  std::string lines;
  size_t start = 0;
  do {
    size_t end = entry.message.find('\n', start);
    if (end == std::string::npos) end = entry.message.size();
    lines += "<" + std::to_string(static_cast<int>(priority)) + ">" +
             entry.message.substr(start, end - start) + "\n";
    start = end + 1;
  } while (start < entry.message.size());
  writeWithoutWaiting(STDERR_FILENO, lines);
  return true;
}

}  // namespace

LogPriority consolePriority(const std::string& text) {
  size_t at = text.rfind("NSLog = ", 0) == 0 ? 8 : 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '*' || text[at] == '\n')) ++at;
  for (const char* word : {"ERROR", "FAILED"})
    if (startsWithWord(text, at, word)) return LogPriority::Error;
  for (const char* word : {"WARNING", "UNABLE"})
    if (startsWithWord(text, at, word)) return LogPriority::Warning;
  if (text.compare(at, 7, "Inside ") == 0) return LogPriority::Debug;
  return LogPriority::Info;
}

void setConsoleItem(const std::string& item) {
  std::lock_guard<std::mutex> lock(nameMutex());
  consoleItem() = item;
}

void setConsoleProcessName(const std::string& name) {
  std::lock_guard<std::mutex> lock(nameMutex());
  processName() = name;
}

void NSLogText(const std::string& text) {
  NSLogTextWithPriority(consolePriority(text), text);
}

void NSLogTextWithPriority(LogPriority priority, const std::string& text) {
  if (sentToJournal(priority, text)) return;
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

void consolePrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  size_t first = text.find_first_not_of("\r\n");
  if (first == std::string::npos) {
    if (!defaultJournal().active()) writeAll(STDERR_FILENO, text);
    return;
  }
  if (sentToJournal(consolePriority(text.substr(first)), text.substr(first))) return;
  writeAll(STDERR_FILENO, text);
}

std::string stringWithFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return text;
}

}  // namespace sorv
