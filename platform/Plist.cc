#include "platform/Plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/fs/AtomicWrite.h"
#include "platform/fs/FileSystem.h"

namespace sorv::plist {

namespace {

constexpr std::size_t kMaxParseBytes = 64u << 20;
constexpr int kMaxDepth = 256;
// Binary lists may reference one object many times; libplist copies it for every reference.
constexpr std::uint64_t kMaxExpandedNodes = 1u << 20;
constexpr double kMacEpoch = 978307200.0;  // 2001-01-01 in seconds since 1970

void setErr(std::string* err, const std::string& why) {
  if (err) *err = why;
}

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using Node = std::unique_ptr<void, PlistFree>;

// Nesting depth of <array>/<dict> elements, stopping early once past the limit.
bool xmlDepthWithinLimit(const char* p, std::size_t n) {
  int depth = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (p[i] != '<') continue;
    bool closing = p[i + 1] == '/';
    std::size_t j = i + (closing ? 2 : 1);
    std::size_t len = 0;
    if (n - j >= 5 && std::memcmp(p + j, "array", 5) == 0) len = 5;
    if (n - j >= 4 && std::memcmp(p + j, "dict", 4) == 0) len = 4;
    if (len == 0 || j + len >= n) continue;
    char after = p[j + len];
    if (after == '/') continue;  // <array/>
    if (after != '>' && after != ' ' && after != '\t' && after != '\r' && after != '\n') continue;
    depth += closing ? -1 : 1;
    if (depth > kMaxDepth) return false;
  }
  return true;
}

struct BinaryLayout {
  const unsigned char* bytes;
  std::size_t size;
  unsigned offsetSize;
  unsigned refSize;
  std::uint64_t numObjects;
  std::uint64_t topObject;
  std::uint64_t tableOffset;
};

std::uint64_t readBigEndian(const unsigned char* p, unsigned width) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

bool readTrailer(const unsigned char* p, std::size_t n, BinaryLayout* out) {
  if (n < 8 + 32) return false;
  const unsigned char* t = p + n - 32;
  out->bytes = p;
  out->size = n;
  out->offsetSize = t[6];
  out->refSize = t[7];
  out->numObjects = readBigEndian(t + 8, 8);
  out->topObject = readBigEndian(t + 16, 8);
  out->tableOffset = readBigEndian(t + 24, 8);
  if (out->offsetSize < 1 || out->offsetSize > 8 || out->refSize < 1 || out->refSize > 8)
    return false;
  if (out->numObjects == 0 || out->numObjects > n || out->topObject >= out->numObjects)
    return false;
  if (out->tableOffset >= n - 32 || out->numObjects * out->offsetSize > n - 32 - out->tableOffset)
    return false;
  return true;
}

std::uint64_t objectOffset(const BinaryLayout& b, std::uint64_t index) {
  return readBigEndian(b.bytes + b.tableOffset + index * b.offsetSize, b.offsetSize);
}

// Reads the element count after an object's marker; false when it runs off the objects.
bool objectCount(const BinaryLayout& b, std::uint64_t off, std::uint64_t* count,
                 std::uint64_t* pos) {
  *count = b.bytes[off] & 0x0F;
  *pos = off + 1;
  if (*count != 0x0F) return true;
  if (*pos >= b.tableOffset || (b.bytes[*pos] >> 4) != 0x1) return false;
  unsigned width = 1u << (b.bytes[*pos] & 0x0F);
  if (width > 8 || *pos + 1 + width > b.tableOffset) return false;
  *count = readBigEndian(b.bytes + *pos + 1, width);
  *pos += 1 + width;
  return true;
}

// libplist asserts on dictionary keys that are not texts or that hold a NUL character.
bool isKeyObject(const BinaryLayout& b, std::uint64_t index) {
  std::uint64_t off = objectOffset(b, index);
  if (off >= b.tableOffset) return false;
  unsigned kind = b.bytes[off] >> 4;
  if (kind != 0x5 && kind != 0x6) return false;
  std::uint64_t count = 0, pos = 0;
  if (!objectCount(b, off, &count, &pos)) return false;
  std::uint64_t unit = kind == 0x6 ? 2 : 1;
  if (count > b.size || count * unit > b.tableOffset - pos) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* c = b.bytes + pos + i * unit;
    if (c[0] == 0 && (unit == 1 || c[1] == 0)) return false;
  }
  return true;
}

// The references held by object `index` (keys and values for a dictionary); false when the
// object lies outside the file. Objects that hold no references give an empty list.
bool objectRefs(const BinaryLayout& b, std::uint64_t index, std::vector<std::uint64_t>* refs) {
  refs->clear();
  std::uint64_t off = objectOffset(b, index);
  if (off >= b.tableOffset) return false;
  unsigned kind = b.bytes[off] >> 4;
  if (kind != 0xA && kind != 0xB && kind != 0xC && kind != 0xD) return true;
  std::uint64_t count = 0, pos = 0;
  if (!objectCount(b, off, &count, &pos)) return false;
  std::uint64_t total = kind == 0xD ? count * 2 : count;
  if (count > b.size || total * b.refSize > b.tableOffset - pos) return false;
  for (std::uint64_t i = 0; i < total; ++i) {
    std::uint64_t ref = readBigEndian(b.bytes + pos + i * b.refSize, b.refSize);
    if (ref >= b.numObjects) return false;
    if (kind == 0xD && i < count && !isKeyObject(b, ref)) return false;
    refs->push_back(ref);
  }
  return true;
}

// Walks the object graph from the top object without recursion and bounds what libplist
// would build from it: nesting depth, cycles and the number of nodes after expansion.
bool binaryWithinLimits(const unsigned char* p, std::size_t n, std::string* err) {
  BinaryLayout b{};
  if (!readTrailer(p, n, &b)) return setErr(err, "binary property list: bad trailer"), false;
  enum : std::uint8_t { kUnseen, kOnPath, kDone };
  std::vector<std::uint8_t> state(b.numObjects, kUnseen);
  std::vector<std::uint64_t> expanded(b.numObjects, 0);
  struct Frame {
    std::uint64_t index;
    std::vector<std::uint64_t> refs;
    std::size_t next;
  };
  std::vector<Frame> path;
  auto enter = [&](std::uint64_t index) {
    Frame f{index, {}, 0};
    if (!objectRefs(b, index, &f.refs)) return false;
    state[index] = kOnPath;
    path.push_back(std::move(f));
    return true;
  };
  if (!enter(b.topObject)) return setErr(err, "binary property list: bad object"), false;
  while (!path.empty()) {
    Frame& f = path.back();
    if (f.next == f.refs.size()) {
      std::uint64_t sum = 1;
      for (std::uint64_t r : f.refs) sum += expanded[r];
      if (sum > kMaxExpandedNodes) return setErr(err, "binary property list: too large"), false;
      expanded[f.index] = sum;
      state[f.index] = kDone;
      path.pop_back();
      continue;
    }
    std::uint64_t child = f.refs[f.next++];
    if (state[child] == kOnPath) return setErr(err, "binary property list: cycle"), false;
    if (state[child] == kDone) continue;
    if (path.size() >= static_cast<std::size_t>(kMaxDepth))
      return setErr(err, "binary property list: nested too deeply"), false;
    if (!enter(child)) return setErr(err, "binary property list: bad object"), false;
  }
  return true;
}

// libplist keeps dates as doubles but hands them out as 32-bit seconds since 2001, which
// cannot hold dates before 1933 (the 1904 zero date among them). Those go through the
// XML text of the date instead.
constexpr double kInt32Min = -2147483648.0;
constexpr double kInt32Max = 2147483647.0;

double dateOf(plist_t node) {
  int32_t sec = 0, usec = 0;
  plist_get_date_val(node, &sec, &usec);
  if (sec != INT32_MIN && sec != INT32_MAX) return kMacEpoch + sec + usec / 1e6;
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(node, &xml, &len);
  std::string text = xml ? std::string(xml, len) : std::string();
  if (xml) plist_to_xml_free(xml);
  size_t at = text.find("<date>");
  struct tm tm {};
  if (at == std::string::npos || !strptime(text.c_str() + at + 6, "%Y-%m-%dT%H:%M:%SZ", &tm))
    return kMacEpoch + sec;
  return static_cast<double>(timegm(&tm));
}

plist_t dateNode(double secondsSince1970) {
  double t = secondsSince1970 - kMacEpoch;
  if (std::isnan(t)) t = 0;
  if (t > kInt32Min && t < kInt32Max) {
    double sec = std::floor(t);
    return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>((t - sec) * 1e6));
  }
  time_t whole = static_cast<time_t>(std::floor(std::clamp(secondsSince1970, -6e10, 2.5e11)));
  struct tm tm {};
  gmtime_r(&whole, &tm);
  char xml[160];
  std::snprintf(xml, sizeof xml,
                "<plist version=\"1.0\"><date>%04d-%02d-%02dT%02d:%02d:%02dZ</date></plist>",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  plist_t node = nullptr;
  plist_from_xml(xml, static_cast<uint32_t>(std::strlen(xml)), &node);
  return node ? node : plist_new_date(t < 0 ? INT32_MIN : INT32_MAX, 0);
}

bool toValue(plist_t node, int depth, Value* out) {
  if (depth > kMaxDepth) return false;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      *out = Value(b != 0);
      return true;
    }
    case PLIST_UINT:
    case PLIST_UID: {
      uint64_t u = 0;
      if (plist_get_node_type(node) == PLIST_UID)
        plist_get_uid_val(node, &u);
      else
        plist_get_uint_val(node, &u);
      // Negative integers are kept as their two's complement.
      *out = Value(static_cast<long long>(static_cast<std::int64_t>(u)));
      return true;
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      *out = Value(d);
      return true;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      uint64_t len = 0;
      const char* s = plist_get_string_ptr(node, &len);
      *out = Value(s ? std::string(s, len) : std::string());
      return true;
    }
    case PLIST_DATE:
      *out = Value(Date{dateOf(node)});
      return true;
    case PLIST_DATA: {
      uint64_t len = 0;
      const char* p = plist_get_data_ptr(node, &len);
      Data d;
      if (p && len)
        d.assign(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + len);
      *out = Value(std::move(d));
      return true;
    }
    case PLIST_ARRAY: {
      Array a;
      uint32_t n = plist_array_get_size(node);
      a.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        Value item;
        if (!toValue(plist_array_get_item(node, i), depth + 1, &item)) return false;
        a.push_back(std::move(item));
      }
      *out = Value(std::move(a));
      return true;
    }
    case PLIST_DICT: {
      Dict d;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool ok = true;
      while (it) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        Value v;
        ok = key && toValue(item, depth + 1, &v);
        if (ok) d[key] = std::move(v);
        std::free(key);
        if (!ok) break;
      }
      std::free(it);
      if (!ok) return false;
      *out = Value(std::move(d));
      return true;
    }
    default:
      return false;
  }
}

plist_t fromValue(const Value& v) {
  switch (v.type()) {
    case Value::Type::Nil:
      return plist_new_string("");
    case Value::Type::Bool:
      return plist_new_bool(*v.asBoolean() ? 1 : 0);
    case Value::Type::Integer:
      return plist_new_uint(static_cast<uint64_t>(*v.asInteger()));
    case Value::Type::Real:
      return plist_new_real(*v.asReal());
    case Value::Type::String:
      return plist_new_string(v.asString()->c_str());
    case Value::Type::Date:
      return dateNode(v.asDate()->secondsSince1970);
    case Value::Type::Data: {
      const Data& d = *v.asData();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Value::Type::Array: {
      plist_t a = plist_new_array();
      for (const Value& item : *v.asArray()) plist_array_append_item(a, fromValue(item));
      return a;
    }
    case Value::Type::Dict: {
      plist_t d = plist_new_dict();
      for (const auto& [k, item] : *v.asDict()) plist_dict_set_item(d, k.c_str(), fromValue(item));
      return d;
    }
  }
  return plist_new_string("");
}

}  // namespace

std::optional<Value> parse(const void* bytes, std::size_t size, std::string* err) {
  if (!bytes || size == 0) return setErr(err, "empty property list"), std::nullopt;
  if (size > kMaxParseBytes) return setErr(err, "property list too large"), std::nullopt;
  const char* p = static_cast<const char*>(bytes);
  uint32_t n = static_cast<uint32_t>(size);
  plist_t raw = nullptr;
  if (plist_is_binary(p, n)) {
    if (!binaryWithinLimits(reinterpret_cast<const unsigned char*>(p), size, err))
      return std::nullopt;
    plist_from_bin(p, n, &raw);
  } else {
    if (!xmlDepthWithinLimit(p, size))
      return setErr(err, "property list nested too deeply"), std::nullopt;
    plist_from_xml(p, n, &raw);
  }
  Node root(raw);
  if (!root) return setErr(err, "not a readable property list"), std::nullopt;
  Value v;
  if (!toValue(root.get(), 0, &v)) return setErr(err, "unsupported property list"), std::nullopt;
  return v;
}

std::optional<Value> parseFile(const std::string& path, std::string* err, std::size_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return setErr(err, path + ": " + std::strerror(errno)), std::nullopt;
  std::string bytes;
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      setErr(err, path + ": " + std::strerror(errno));
      ok = false;
      break;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
      setErr(err, path + ": file too large");
      ok = false;
      break;
    }
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return parse(bytes.data(), bytes.size(), err);
}

std::string toXml(const Value& v) {
  Node root(fromValue(v));
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(root.get(), &xml, &len);
  std::string out = xml ? std::string(xml, len) : std::string();
  if (xml) plist_to_xml_free(xml);
  return out;
}

bool writeFileAtomically(const std::string& path, const Value& v, std::string* err, unsigned mode,
                         int* code) {
  if (code) *code = 0;
  std::string xml = toXml(v);
  if (xml.empty()) return setErr(err, "cannot render property list"), false;
  if (int rc = sorv::writeFileAtomically(defaultFileSystem(), path, xml, mode, true)) {
    if (code) *code = rc;
    return setErr(err, path + ": " + atomicWriteErrorText(rc)), false;
  }
  return true;
}

}  // namespace sorv::plist
