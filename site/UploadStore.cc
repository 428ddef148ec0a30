#include "site/UploadStore.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "platform/Plist.h"

namespace sorv::site {
namespace fs = std::filesystem;

constexpr std::size_t kMaxFileNameBytes = 80;

std::string safeFileName(const std::string& name) {
  std::string out;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_';
    if (out.empty() && c == '.') continue;  // no hidden names, no "." or ".."
    out += ok ? c : '_';
    if (out.size() >= kMaxFileNameBytes) break;
  }
  if (out.empty()) return "upload";
  // The upload's own record keeps its name; a client's file of that name becomes another.
  return out == "fields.plist" ? "_" + out : out;
}

IncomingUpload::~IncomingUpload() {
  if (committed_) return;
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

std::string IncomingUpload::fileNameFor(const std::string& field, const std::string& clientName) {
  auto used = [this](const std::string& n) {
    return std::find(used_.begin(), used_.end(), n) != used_.end();
  };
  // Every candidate goes through safeFileName, so the chosen name is served back unchanged;
  // the numbered ones stay distinct however long the client's name is.
  std::string name = safeFileName(clientName);
  if (used(name)) name = safeFileName(field + "-" + name);
  for (int n = 2; used(name); ++n) name = safeFileName(std::to_string(n) + "-" + clientName);
  used_.push_back(name);
  return name;
}

UploadStore::UploadStore(std::string root) : root_(std::move(root)) {
  std::error_code ec;
  fs::create_directories(root_, ec);
  int highest = 0;
  for (const auto& name : list()) highest = std::max(highest, std::atoi(name.c_str()));
  next_ = highest + 1;
}

std::unique_ptr<IncomingUpload> UploadStore::begin() {
  std::string tmpl = root_ + "/.incoming-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) return nullptr;
  return std::make_unique<IncomingUpload>(std::string(buf.data()));
}

std::string UploadStore::commit(IncomingUpload& incoming, const std::string& kind,
                                const std::vector<ReceivedPart>& parts, const Dict& headers) {
  Array list;
  std::string label;
  for (const auto& p : parts) {
    Dict d{{"name", Value(p.name)}};
    if (p.isFile()) {
      d["filename"] = Value(p.fileName);
      d["contentType"] = Value(p.contentType);
      d["stored"] = Value(p.storedName);
      d["size"] = Value(static_cast<long long>(p.size));
      if (label.empty()) label = p.fileName;
    } else {
      d["value"] = Value(p.value);
    }
    list.push_back(Value(std::move(d)));
  }
  Dict top{{"kind", Value(kind)}, {"parts", Value(std::move(list))}, {"headers", Value(headers)}};
  if (!plist::writeFileAtomically(incoming.folder() + "/fields.plist", Value(std::move(top))))
    return "";
  char seq[16];
  std::snprintf(seq, sizeof seq, "%06d", next_++);
  std::string dest = root_ + "/" + seq + "-" + safeFileName(label.empty() ? kind : label);
  std::error_code ec;
  fs::rename(incoming.folder(), dest, ec);
  if (ec) return "";
  incoming.markCommitted();
  return dest;
}

std::vector<std::string> UploadStore::list() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root_, ec)) {
    std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.' && entry.is_directory()) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace sorv::site
