// journald's two client protocols, read as a stand-in journal would: the native datagrams
// ("KEY=value\n", or "KEY\n" + 64-bit little-endian length + bytes + "\n") and the stdout
// stream (seven header lines, then one entry per line). Every read is bounded; malformed
// input ends the datagram or the connection, never the reader.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sorv::test::journal {

// One entry's fields in the order received; a name may repeat.
using Field = std::pair<std::string, std::string>;
using Entry = std::vector<Field>;

// journald's limits: a stream line is cut at 48 KiB, a field name is at most 64 bytes.
inline constexpr std::size_t kMaxLine = 48 * 1024;
inline constexpr std::size_t kMaxFieldName = 64;

// Whether name is a field name journald accepts: A-Z, 0-9 and '_', not starting with a digit.
bool validFieldName(std::string_view name);

// The entries of one native datagram (or of a memfd's contents); an empty line separates
// entries. Fields with an invalid name and fields a client may not set (names starting with
// '_') are dropped, as journald does; a malformed field ends the parse, keeping what came
// before it.
std::vector<Entry> parseNative(std::string_view data);

// One stdout stream connection.
class StreamParser {
 public:
  // The next bytes of the connection; returns the entries of the lines they complete. Each
  // entry holds MESSAGE, PRIORITY (the header's, or the line's "<N>" prefix when the header
  // asks for prefixes), SYSLOG_FACILITY (when the header's priority has one) and
  // SYSLOG_IDENTIFIER (when the header names one).
  std::vector<Entry> feed(std::string_view bytes);
  // End of the connection: the last line, if it had no newline.
  std::vector<Entry> finish();
  // The header was invalid: journald drops such a connection.
  bool broken() const { return broken_; }
  const std::string& unitId() const { return unitId_; }

 private:
  void takeLine(std::string_view line, std::vector<Entry>* out);
  bool takeHeaderLine(std::string_view line);

  int headerLines_ = 0;
  bool broken_ = false;
  std::string identifier_, unitId_;
  int priority_ = 6, facility_ = 0;
  bool levelPrefix_ = false;
  std::string pending_;
};

// The entry as one JSON object (no newline), as `journalctl -o json` writes it: a repeated
// field becomes an array, a value that is not valid UTF-8 an array of its bytes.
std::string toJson(const Entry& entry);

}  // namespace sorv::test::journal
