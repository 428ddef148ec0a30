#include "logfiles/ProblemJournal.h"

#include <errno.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/fs/AtomicWrite.h"

namespace sorv {

std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t n = c >= 0xc2 && c <= 0xdf   ? 2
                  : c >= 0xe0 && c <= 0xef ? 3
                  : c >= 0xf0 && c <= 0xf4 ? 4
                                           : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
  unsigned char c1 = byte(i + 1);
  if (c == 0xe0 && c1 < 0xa0) return 0;  // overlong
  if (c == 0xed && c1 > 0x9f) return 0;  // a surrogate
  if (c == 0xf0 && c1 < 0x90) return 0;  // overlong
  if (c == 0xf4 && c1 > 0x8f) return 0;  // above U+10FFFF
  return n;
}

namespace {

void appendJsonString(std::string* out, std::string_view text) {
  out->push_back('"');
  char buf[8];
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t n = utf8SequenceLength(text, i);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\udc%02x", c);
      out->append(buf);
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out->append(buf);
    } else {
      out->append(text.substr(i, n));
    }
    i += n;
  }
  out->push_back('"');
}

// Cuts text to at most max bytes, not inside a UTF-8 sequence.
std::string_view cut(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t end = 0;
  for (std::size_t i = 0; i < max;) {
    std::size_t n = std::max<std::size_t>(1, utf8SequenceLength(text, i));
    if (i + n > max) break;
    i += n;
    end = i;
  }
  return text.substr(0, end);
}

void appendUtf8(std::string* out, unsigned long cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

// A reader of the one flat object a line holds: texts, whole numbers, null, true and false.
class LineReader {
 public:
  explicit LineReader(std::string_view s) : s_(s) {}

  void skipBlanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  bool take(char c) {
    skipBlanks();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool atEnd() {
    skipBlanks();
    return i_ == s_.size();
  }
  char peek() {
    skipBlanks();
    return i_ < s_.size() ? s_[i_] : '\0';
  }

  bool hex4(unsigned long* value) {
    if (i_ + 4 > s_.size()) return false;
    unsigned long v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s_[i_++];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned long>(d);
    }
    *value = v;
    return true;
  }

  // A \u escape (after the "\u"): a character, a surrogate pair, or a byte (\udc80-\udcff).
  bool unicodeEscape(std::string* out) {
    unsigned long cp;
    if (!hex4(&cp)) return false;
    if (cp >= 0xd800 && cp <= 0xdbff && i_ + 6 <= s_.size() && s_[i_] == '\\' &&
        s_[i_ + 1] == 'u') {
      std::size_t back = i_;
      i_ += 2;
      unsigned long low;
      if (hex4(&low) && low >= 0xdc00 && low <= 0xdfff) {
        appendUtf8(out, 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00));
        return true;
      }
      i_ = back;
    }
    if (cp >= 0xdc80 && cp <= 0xdcff) {
      out->push_back(static_cast<char>(cp - 0xdc00));
    } else if (cp >= 0xd800 && cp <= 0xdfff) {
      appendUtf8(out, 0xfffd);
    } else {
      appendUtf8(out, cp);
    }
    return true;
  }

  bool string(std::string* out) {
    if (!take('"')) return false;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(e);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u':
          if (!unicodeEscape(out)) return false;
          break;
        default:
          return false;
      }
    }
    return false;
  }

  // A whole number of at most 15 digits.
  bool number(long* out) {
    skipBlanks();
    bool negative = i_ < s_.size() && s_[i_] == '-';
    if (negative) ++i_;
    std::size_t start = i_;
    long v = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - start < 15)
      v = v * 10 + (s_[i_++] - '0');
    if (i_ == start || (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')) return false;
    *out = negative ? -v : v;
    return true;
  }

  bool word(std::string_view w) {
    skipBlanks();
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
};

std::string* textField(ProblemRecord* r, const std::string& key) {
  if (key == "time") return &r->time;
  if (key == "path") return &r->path;
  if (key == "movie") return &r->movie;
  if (key == "site_status") return &r->siteStatus;
  if (key == "site_message") return &r->siteMessage;
  if (key == "transport_error") return &r->transportError;
  if (key == "reason") return &r->reason;
  return nullptr;
}

// One "key": value pair into the record; false when the line is not of the known shape.
bool readMember(LineReader& in, ProblemRecord* r) {
  std::string key;
  if (!in.string(&key) || !in.take(':')) return false;
  char next = in.peek();
  if (next == '"') {
    std::string value;
    if (!in.string(&value)) return false;
    if (std::string* field = textField(r, key)) *field = std::move(value);
    return true;
  }
  if (next == '-' || (next >= '0' && next <= '9')) {
    long value;
    if (!in.number(&value)) return false;
    if (key == "http_status") r->httpStatus = value;
    return true;
  }
  return in.word("null") || in.word("true") || in.word("false");
}

}  // namespace

std::string formatProblemLine(const ProblemRecord& r) {
  // Seven texts of at most 8 KiB each, escaped at most sixfold, would pass the limit: each
  // text is cut so that the whole stays below it.
  constexpr std::size_t kTextBytes = kMaxProblemLineBytes / 7 / 6 - 16;
  std::string line = "{\"time\":";
  auto text = [&](const char* key, const std::string& value, bool nullWhenEmpty) {
    line += ",\"";
    line += key;
    line += "\":";
    if (nullWhenEmpty && value.empty()) {
      line += "null";
    } else {
      appendJsonString(&line, cut(value, kTextBytes));
    }
  };
  appendJsonString(&line, cut(r.time, kTextBytes));
  text("path", r.path, false);
  text("movie", r.movie, true);
  line += ",\"http_status\":";
  line += r.httpStatus ? std::to_string(*r.httpStatus) : "null";
  text("site_status", r.siteStatus, true);
  text("site_message", r.siteMessage, true);
  text("transport_error", r.transportError, true);
  text("reason", r.reason, false);
  line += "}\n";
  return line;
}

std::optional<ProblemRecord> parseProblemLine(std::string_view line) {
  if (line.size() > kMaxProblemLineBytes) return std::nullopt;
  LineReader in(line);
  ProblemRecord r;
  if (!in.take('{')) return std::nullopt;
  if (!in.take('}')) {
    do {
      if (!readMember(in, &r)) return std::nullopt;
    } while (in.take(','));
    if (!in.take('}')) return std::nullopt;
  }
  if (!in.atEnd() || r.path.empty()) return std::nullopt;
  return r;
}

namespace {

// One write of the whole line; a short write means the disk is full.
int writeLine(int fd, const std::string& line) {
  ssize_t wrote;
  do {
    wrote = ::write(fd, line.data(), line.size());
  } while (wrote < 0 && errno == EINTR);
  if (wrote < 0) return errno;
  return static_cast<std::size_t>(wrote) == line.size() ? 0 : ENOSPC;
}

// The records of `wanted` that file holds, each path's latest, from its last
// kMaxProblemJournalBytes.
void readLatest(FileSystem& fs, const std::string& file, const std::set<std::string>& wanted,
                std::map<std::string, ProblemRecord>* latest) {
  FileInfo info;
  std::unique_ptr<ReadableFile> in;
  if (wanted.empty() || fs.stat(file, &info) != 0 || fs.openForRead(file, &in) != 0) return;
  // Before `skip` the bytes are read and dropped, and the line they end in with them.
  std::uint64_t skip =
      info.size > kMaxProblemJournalBytes ? info.size - kMaxProblemJournalBytes : 0;
  std::uint64_t offset = 0;
  bool dropLine = skip > 0;  // the line began before skip
  std::string line;
  std::vector<char> buf(64 * 1024);
  std::size_t got = 0;
  // Bytes appended while it is read are taken up to one buffer more.
  while (offset < info.size + buf.size() && in->read(buf.data(), buf.size(), &got) == 0 &&
         got > 0) {
    for (std::size_t i = 0; i < got; ++i, ++offset) {
      if (buf[i] != '\n') {
        if (!dropLine && line.size() <= kMaxProblemLineBytes) line.push_back(buf[i]);
        continue;
      }
      if (!dropLine) {
        // Only a line that names a wanted path is parsed whole.
        if (auto r = parseProblemLine(line); r && wanted.count(r->path))
          (*latest)[r->path] = std::move(*r);
      }
      dropLine = offset + 1 < skip;
      line.clear();
    }
  }
}

// Takes an exclusive lock on fd, waiting at most about a second for another holder.
bool lockBriefly(int fd) {
  for (int tries = 0; tries < 100; ++tries) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    ::usleep(10000);
  }
  return false;
}

}  // namespace

int appendProblemRecord(FileSystem& fs, const std::string& file, const ProblemRecord& record,
                        std::uint64_t rotateAt, int* rotationFailure) {
  const std::string line = formatProblemLine(record);
  if (rotationFailure) *rotationFailure = 0;
  bool rotationTried = false;
  // A file rotated by this call, or by another writer, is opened again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = -1;
    if (int rc = fs.openAppending(file, 0600, &fd)) return rc;
    FileInfo open, named;
    int rc = fs.statDescriptor(fd, &open);
    if (rc == 0 && open.type != FileType::Regular) rc = refusalFor(open);
    if (rc != 0) {
      fs.closeDescriptor(fd);
      return rc;
    }
    // Writers take turns, so that two never both rotate the same file. A lock held elsewhere
    // for long only costs the rotation: the line is appended all the same.
    const bool locked = lockBriefly(fd);
    if (locked) fs.statDescriptor(fd, &open);  // its size now that no writer is between
    if (fs.lstat(file, &named) != 0 || named.inode != open.inode || named.device != open.device) {
      fs.closeDescriptor(fd);  // another writer has just rotated it
      continue;
    }
    if (locked && open.size >= rotateAt && !rotationTried) {
      rotationTried = true;
      const std::string old = file + kProblemJournalOldSuffix;
      int rotated = refusalAt(fs, old);
      if (rotated == 0) rotated = fs.rename(file, old, true);
      if (rotated == 0) {
        fs.closeDescriptor(fd);
        continue;
      }
      if (rotationFailure) *rotationFailure = rotated;
    }
    rc = writeLine(fd, line);
    fs.closeDescriptor(fd);
    return rc;
  }
  return EAGAIN;
}

std::map<std::string, ProblemRecord> latestProblemRecords(FileSystem& fs, const std::string& file,
                                                          const std::set<std::string>& wanted) {
  std::map<std::string, ProblemRecord> latest;
  readLatest(fs, file, wanted, &latest);
  if (latest.size() < wanted.size()) {
    // The photos moved before the last rotation have their lines in the older file.
    std::set<std::string> missing;
    for (const auto& path : wanted)
      if (!latest.count(path)) missing.insert(path);
    std::map<std::string, ProblemRecord> older;
    readLatest(fs, file + kProblemJournalOldSuffix, missing, &older);
    latest.merge(older);
  }
  return latest;
}

std::string isoTimeUtc(double secondsSince1970) {
  std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string problemReasonText(const std::optional<ProblemRecord>& record) {
  if (!record) return "unknown";
  if (!record->reason.empty()) return record->reason;
  std::string text;
  auto add = [&](const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += "; ";
    text += part;
  };
  if (record->httpStatus) add("HTTP status " + std::to_string(*record->httpStatus));
  add(record->siteStatus.empty() ? record->siteMessage
                                 : record->siteStatus + ": " + record->siteMessage);
  add(record->transportError);
  return text.empty() ? "unknown" : text;
}

}  // namespace sorv
