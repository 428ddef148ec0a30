// The systemd journal as the console's sink: when standard error is the journal's stream (the
// service manager says so in JOURNAL_STREAM), each console message becomes one journal entry
// with its priority and fields, sent over the journal's native socket.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sorv {

// syslog priorities as the journal uses them.
enum class LogPriority { Error = 3, Warning = 4, Info = 6, Debug = 7 };

struct JournalEntry {
  LogPriority priority = LogPriority::Info;
  std::string message;  // may hold several lines: it stays one entry
  // Further fields, names in upper case ("SORV_ITEM"), values any bytes.
  std::vector<std::pair<std::string, std::string>> fields;
};

class Journal {
 public:
  Journal() = default;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  virtual ~Journal();

  // True when console messages should go to the journal rather than to standard error as text.
  virtual bool active() = 0;
  // Sends one entry without waiting; false when no journal listens (the caller then writes it
  // to standard error). An entry a stalled journal cannot take yet waits for it, bounded.
  // Safe from any thread.
  virtual bool send(const JournalEntry& entry) = 0;
};

// JOURNAL_STREAM (device:inode) names the file standard error is open on. Exposed for tests.
bool journalStreamMatches(const char* journalStream, unsigned long long device,
                          unsigned long long inode);

// The journal's native socket (JournalSocket; $SORV_JOURNAL_SOCKET in tests), active while
// standard error is the stream JOURNAL_STREAM names (checked at each call: a redirect to a log
// file ends it). Never destroyed.
Journal& systemJournal();
// The current Env's journal.
Journal& defaultJournal();

}  // namespace sorv
