#include "logfiles/RelaunchState.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>

#include "platform/Plist.h"
#include "platform/fs/AtomicWrite.h"

namespace sorv {
namespace {

Value stampValue(const std::string& path, const FileStamp& stamp) {
  return Value(Dict{{"path", Value(path)},
                    {"device", Value(static_cast<long long>(stamp.device))},
                    {"inode", Value(static_cast<long long>(stamp.inode))},
                    {"size", Value(static_cast<long long>(stamp.size))},
                    {"mtimeNs", Value(static_cast<long long>(stamp.mtimeNs))}});
}

bool goodPath(const std::string& path) {
  return !path.empty() && path[0] == '/' && path.size() <= kMaxRelaunchPathBytes &&
         path.find('\0') == std::string::npos;
}

bool goodTime(double t) {
  return std::isfinite(t) && t > 0 && t < 1e11;
}

std::optional<long long> integerAt(const Dict& d, const char* key) {
  const Value* v = dictGet(d, key);
  const std::int64_t* i = v ? v->asInteger() : nullptr;
  if (!i) return std::nullopt;
  return *i;
}

std::optional<double> numberAt(const Dict& d, const char* key) {
  const Value* v = dictGet(d, key);
  if (!v) return std::nullopt;
  if (const double* r = v->asReal()) return *r;
  if (const std::int64_t* i = v->asInteger()) return static_cast<double>(*i);
  return std::nullopt;
}

// The path and version of one record, or false when it lacks one or holds nonsense.
bool readStamp(const Dict& d, std::string* path, FileStamp* stamp) {
  const std::string* p = dictGetString(d, "path");
  auto device = integerAt(d, "device"), inode = integerAt(d, "inode"), size = integerAt(d, "size"),
       mtime = integerAt(d, "mtimeNs");
  if (!p || !goodPath(*p) || !device || !inode || !size || !mtime || *size < 0) return false;
  *path = *p;
  *stamp = FileStamp{static_cast<std::uint64_t>(*inode), static_cast<std::uint64_t>(*device),
                     static_cast<std::uint64_t>(*size), *mtime, 0};
  return true;
}

std::string render(const Array& relaunched, const Array& waiting) {
  return plist::toXml(Value(Dict{
      {"version", Value(1LL)}, {"relaunched", Value(relaunched)}, {"waiting", Value(waiting)}}));
}

}  // namespace

std::string encodeRelaunchState(const RelaunchState& state) {
  Array relaunched, waiting;
  for (const RelaunchRecord& r : state.relaunched) {
    if (relaunched.size() >= kMaxRelaunchRecords) break;
    if (!goodPath(r.path) || r.relaunches < 1) continue;
    Value v = stampValue(r.path, r.stamp);
    (*v.asDict())["relaunches"] =
        Value(static_cast<long long>(std::min(r.relaunches, kMaxRecordedRelaunches)));
    (*v.asDict())["lastRelaunch"] = Value(r.lastRelaunch);
    relaunched.push_back(std::move(v));
  }
  for (const FirstSeenRecord& w : state.waiting) {
    if (waiting.size() >= kMaxFirstSeenRecords) break;
    if (!goodPath(w.path) || !goodTime(w.firstSeen)) continue;
    Value v = stampValue(w.path, w.stamp);
    (*v.asDict())["firstSeen"] = Value(w.firstSeen);
    waiting.push_back(std::move(v));
  }
  std::string xml = render(relaunched, waiting);
  // Too large for a reader: about as many records as make up the excess go from the ends of
  // the lists, the waiting photos' first, until the rest fits.
  while (xml.size() > kMaxRelaunchStateBytes && !(relaunched.empty() && waiting.empty())) {
    std::size_t drop =
        (xml.size() - kMaxRelaunchStateBytes) * (relaunched.size() + waiting.size()) / xml.size() +
        1;
    const std::size_t fromWaiting = std::min(drop, waiting.size());
    waiting.resize(waiting.size() - fromWaiting);
    relaunched.resize(relaunched.size() - std::min(drop - fromWaiting, relaunched.size()));
    xml = render(relaunched, waiting);
  }
  return xml;
}

RelaunchState decodeRelaunchState(std::string_view bytes) {
  RelaunchState state;
  if (bytes.empty() || bytes.size() > kMaxRelaunchStateBytes) return state;
  std::optional<Value> root = plist::parse(bytes.data(), bytes.size());
  const Dict* top = root ? root->asDict() : nullptr;
  if (!top) return state;
  auto version = integerAt(*top, "version");
  if (!version || *version != 1) return state;
  if (const Array* list = dictGetArray(*top, "relaunched")) {
    for (const Value& v : *list) {
      if (state.relaunched.size() >= kMaxRelaunchRecords) break;
      const Dict* d = v.asDict();
      RelaunchRecord r;
      if (!d || !readStamp(*d, &r.path, &r.stamp)) continue;
      auto count = integerAt(*d, "relaunches");
      auto last = numberAt(*d, "lastRelaunch");
      if (!count || *count < 1 || !last || !goodTime(*last)) continue;
      r.relaunches = static_cast<int>(std::min<long long>(*count, kMaxRecordedRelaunches));
      r.lastRelaunch = *last;
      state.relaunched.push_back(std::move(r));
    }
  }
  if (const Array* list = dictGetArray(*top, "waiting")) {
    for (const Value& v : *list) {
      if (state.waiting.size() >= kMaxFirstSeenRecords) break;
      const Dict* d = v.asDict();
      FirstSeenRecord w;
      if (!d || !readStamp(*d, &w.path, &w.stamp)) continue;
      auto first = numberAt(*d, "firstSeen");
      if (!first || !goodTime(*first)) continue;
      w.firstSeen = *first;
      state.waiting.push_back(std::move(w));
    }
  }
  return state;
}

RelaunchState readRelaunchState(FileSystem& fs, const std::string& file) {
  std::unique_ptr<ReadableFile> in;
  if (fs.openForRead(file, &in) != 0) return {};
  std::string bytes;
  char buf[64 * 1024];
  std::size_t got = 0;
  while (bytes.size() <= kMaxRelaunchStateBytes && in->read(buf, sizeof buf, &got) == 0 && got > 0)
    bytes.append(buf, got);
  return decodeRelaunchState(bytes);
}

int writeRelaunchState(FileSystem& fs, const std::string& file, const RelaunchState& state) {
  if (state.empty()) {
    int rc = fs.unlink(file);
    return rc == ENOENT ? 0 : rc;
  }
  return writeFileAtomically(fs, file, encodeRelaunchState(state), 0600, true);
}

}  // namespace sorv
