#include "platform/Bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "platform/Paths.h"
#include "platform/Plist.h"

#ifndef SORV_BUILD_BUNDLE_DIR
#define SORV_BUILD_BUNDLE_DIR ""
#endif

namespace sorv {

namespace {

std::mutex& bundleMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string& overridePath() {
  static std::string* path = new std::string;
  return *path;
}

std::string executablePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// <bundle>/Contents/MacOS/<exe> gives <bundle>; anything else gives "".
std::string bundleHoldingExecutable(const std::string& exe) {
  std::string macos = deletingLastPathComponent(exe);
  std::string contents = deletingLastPathComponent(macos);
  if (lastPathComponent(macos) != "MacOS" || lastPathComponent(contents) != "Contents") return "";
  return deletingLastPathComponent(contents);
}

}  // namespace

std::string Bundle::bundlePath() {
  std::string fromExe = bundleHoldingExecutable(executablePath());
  if (!fromExe.empty()) return fromExe;
  std::lock_guard<std::mutex> lock(bundleMutex());
  if (!overridePath().empty()) return overridePath();
  return SORV_BUILD_BUNDLE_DIR;
}

void Bundle::setMainBundlePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(bundleMutex());
  overridePath() = path;
}

std::string Bundle::resourcesPath() {
  return bundlePath() + "/Contents/Resources";
}

std::optional<std::string> Bundle::pathForResource(const std::string& name,
                                                   const std::string& type) {
  if (name.empty() || name.find("..") != std::string::npos) return std::nullopt;
  std::string file = resourcesPath() + "/" + (type.empty() ? name : name + "." + type);
  if (isFile(file) || isFolder(file)) return file;
  return std::nullopt;
}

const Dict& Bundle::infoDictionary() {
  static const Dict* info = [] {
    auto v = plist::parseFile(bundlePath() + "/Contents/Info.plist", nullptr, 1u << 20);
    const Dict* d = v ? v->asDict() : nullptr;
    return new Dict(d ? *d : Dict());
  }();
  return *info;
}

std::string Bundle::displayName() {
  const Dict& info = infoDictionary();
  for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
    const std::string* s = dictGetString(info, key);
    if (s && !s->empty()) return *s;
  }
  return lastPathComponent(executablePath());
}

}  // namespace sorv
