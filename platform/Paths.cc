#include "platform/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace sorv {

namespace {

std::string envOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// The path without trailing slashes; "/" stays "/".
std::string trimmedTrailingSlashes(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return path.substr(0, end);
}

// Index of the dot that starts the last component's extension, or npos.
size_t extensionDot(const std::string& trimmed) {
  size_t slash = trimmed.rfind('/');
  size_t compStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = trimmed.rfind('.');
  // A leading dot names a hidden file rather than starting an extension.
  if (dot == std::string::npos || dot <= compStart || dot + 1 == trimmed.size())
    return std::string::npos;
  return dot;
}

}  // namespace

std::string homeFolder() {
  std::string home = envOrEmpty("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

std::string xdgFolder(const char* var, const char* fallbackUnderHome) {
  std::string dir = envOrEmpty(var);
  return dir.empty() ? homeFolder() + "/" + fallbackUnderHome : dir;
}


std::string logFolderPath() {
  std::string dir = envOrEmpty("SORV_LOG_DIR");
  if (!dir.empty()) return dir;
  return xdgFolder("XDG_STATE_HOME", ".local/state") + "/Sorv";
}

std::string defaultsFilePath() {
  std::string file = envOrEmpty("SORV_DEFAULTS");
  if (!file.empty()) return file;
  return xdgFolder("XDG_CONFIG_HOME", ".config") + "/Sorv/com.quenmor.SorvUploader.plist";
}

std::string documentsFolderPath() {
  return xdgFolder("XDG_DOCUMENTS_DIR", "Documents");
}

bool createFolderWithParents(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    std::string prefix = pos == std::string::npos ? path : path.substr(0, pos);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (pos == std::string::npos) break;
  }
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string lastPathComponent(const std::string& path) {
  std::string t = trimmedTrailingSlashes(path);
  if (t == "/") return t;
  size_t slash = t.rfind('/');
  return slash == std::string::npos ? t : t.substr(slash + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
  std::string t = trimmedTrailingSlashes(path);
  if (t == "/") return t;
  size_t slash = t.rfind('/');
  if (slash == std::string::npos) return "";
  return trimmedTrailingSlashes(slash == 0 ? "/" : t.substr(0, slash));
}

std::string appendingPathComponent(const std::string& path, const std::string& component) {
  size_t start = 0;
  while (start < component.size() && component[start] == '/') ++start;
  std::string comp = trimmedTrailingSlashes(component.substr(start));
  if (comp == "/") comp.clear();
  std::string base = trimmedTrailingSlashes(path);
  if (comp.empty()) return base;
  if (base.empty()) return comp;
  if (base == "/") return "/" + comp;
  return base + "/" + comp;
}

std::string pathExtension(const std::string& path) {
  std::string t = trimmedTrailingSlashes(path);
  size_t dot = extensionDot(t);
  return dot == std::string::npos ? "" : t.substr(dot + 1);
}

std::string deletingPathExtension(const std::string& path) {
  std::string t = trimmedTrailingSlashes(path);
  size_t dot = extensionDot(t);
  return dot == std::string::npos ? t : t.substr(0, dot);
}

std::string appendingPathExtension(const std::string& path, const std::string& ext) {
  std::string t = trimmedTrailingSlashes(path);
  if (t.empty() || t == "/" || ext.empty()) return t;
  return t + "." + ext;
}

}  // namespace sorv
