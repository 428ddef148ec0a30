#include "platform/Journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include "platform/JournalSocket.h"
#include "platform/RunLoop.h"

namespace sorv {

namespace {

constexpr const char* kIdentifier = "sorv-uploader";
constexpr const char* kSocketPath = "/run/systemd/journal/socket";
// How often entries that wait for a stalled journal are offered again.
constexpr double kRetrySeconds = 1;

// Reads one decimal number of at most 20 digits; false on anything else.
bool readNumber(const char** p, unsigned long long* out) {
  const char* s = *p;
  unsigned long long value = 0;
  int digits = 0;
  for (; *s >= '0' && *s <= '9'; ++s, ++digits) {
    if (digits == 20 || value > (~0ULL - 9) / 10) return false;
    value = value * 10 + static_cast<unsigned>(*s - '0');
  }
  if (digits == 0) return false;
  *p = s;
  *out = value;
  return true;
}

class SystemdJournal : public Journal {
 public:
  bool active() override {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream) return false;
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) return false;
    return journalStreamMatches(stream, st.st_dev, st.st_ino);
  }

  bool send(const JournalEntry& entry) override {
    switch (socket_.send(journalDatagram(entry, kIdentifier))) {
      case JournalSocket::Result::Unreachable:
        return false;
      case JournalSocket::Result::Queued:
        retryLater();
        return true;
      default:
        return true;
    }
  }

 private:
  // While entries wait, the main loop offers them again every kRetrySeconds (a later send
  // offers them too), so that they and the count of dropped ones go out once the journal reads.
  // A loop replaced since (the entry point installs its own) gets a timer of its own.
  void retryLater() {
    RunLoop* loop = &mainRunLoop();
    if (retryLoop_.exchange(loop) == loop) return;
    loop->post([this, loop] {
      loop->scheduleTimer(kRetrySeconds, true, [this, loop](Timer& timer) {
        if (!socket_.flush()) return;
        RunLoop* expected = loop;
        retryLoop_.compare_exchange_strong(expected, nullptr);
        timer.invalidate();
        // An entry queued in the meantime found this timer still there: it gets a new one.
        if (!socket_.flush()) retryLater();
      });
    });
  }

  JournalSocket socket_{socketPath(), kIdentifier};
  std::atomic<RunLoop*> retryLoop_{nullptr};

  // SORV_JOURNAL_SOCKET stands in for journald's socket in tests.
  static std::string socketPath() {
    const char* path = std::getenv("SORV_JOURNAL_SOCKET");
    return path && *path ? path : kSocketPath;
  }
};

}  // namespace

Journal::~Journal() = default;

bool journalStreamMatches(const char* journalStream, unsigned long long device,
                          unsigned long long inode) {
  if (!journalStream) return false;
  const char* p = journalStream;
  unsigned long long dev = 0, ino = 0;
  if (!readNumber(&p, &dev) || *p++ != ':' || !readNumber(&p, &ino) || *p != '\0') return false;
  return dev == device && ino == inode;
}

Journal& systemJournal() {
  static Journal* journal = new SystemdJournal;
  return *journal;
}

}  // namespace sorv
