#include "platform/Journal.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace sorv {

namespace {

constexpr const char* kIdentifier = "sorv-uploader";

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
    std::vector<std::string> fields;
    fields.reserve(3 + entry.fields.size());
    fields.push_back("MESSAGE=" + entry.message);
    fields.push_back("PRIORITY=" + std::to_string(static_cast<int>(entry.priority)));
    fields.push_back(std::string("SYSLOG_IDENTIFIER=") + kIdentifier);
    for (const auto& [name, value] : entry.fields) fields.push_back(name + "=" + value);
    std::vector<iovec> iov;
    iov.reserve(fields.size());
    for (std::string& f : fields) iov.push_back({f.data(), f.size()});
    return sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) == 0;
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
