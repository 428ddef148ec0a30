// Finding an ordered original: the recorded path itself, then, under each search root, the
// recorded path with one more leading component dropped at a time.
#include "files/OriginalPath.h"

#include "files/QMI_FileManager.h"
#include "metadata/ItemRules.h"
#include "platform/Console.h"
#include "platform/MacRoman.h"
#include "platform/Paths.h"
#include "platform/fs/FileSystem.h"
#include "settings/Preferences.h"

namespace sorv {
namespace {

std::string joinedComponents(const std::vector<std::string>& parts, std::size_t from) {
  std::string out;
  std::size_t i = from;
  if (i < parts.size() && parts[i] == "/") {
    out.push_back('/');
    ++i;
  }
  for (; i < parts.size(); ++i) {
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(parts[i]);
  }
  return out;
}

// Visible folders directly inside root, in listing order.
std::vector<std::string> visibleSubfolders(const std::string& root) {
  FileSystem& fs = defaultFileSystem();
  std::vector<std::string> names, folders;
  fs.listDirectory(root, &names);
  for (const auto& name : names) {
    std::string path = appendingPathComponent(root, name);
    if (fs.isDirectory(path) && !isInvisibleFileAtPath2(path)) folders.push_back(path);
  }
  return folders;
}

}  // namespace

std::vector<std::string> pathComponents(const std::string& path) {
  std::vector<std::string> parts;
  if (!path.empty() && path[0] == '/') parts.push_back("/");
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t slash = path.find('/', i);
    if (slash == std::string::npos) slash = path.size();
    if (slash > i) parts.push_back(path.substr(i, slash - i));
    i = slash + 1;
  }
  return parts;
}

bool hasParentDirectoryComponent(const std::string& path) {
  for (const auto& part : pathComponents(path))
    if (part == "..") return true;
  return false;
}

std::optional<std::string> decodedRecordedPath(const std::string& recorded) {
  std::string out;
  if (!percentUnescapeMacRoman(recorded, &out)) return std::nullopt;
  return out;
}

namespace {

// The search under one root; logMiss: log when nothing is found (the search over several
// roots logs once for all of them).
std::optional<std::string> resolveUnderRoot(const std::optional<std::string>& path,
                                            const std::optional<std::string>& inPath,
                                            bool logMiss) {
  if (!path) return std::nullopt;
  auto decoded = decodedRecordedPath(*path);
  if (!decoded) {
    NSLog("doResolveOriginalPath: malformed percent escape in [%s]", path->c_str());
    return std::nullopt;
  }
  if (hasParentDirectoryComponent(*decoded)) {
    NSLog("doResolveOriginalPath: refusing a path with a \"..\" component: [%s]", decoded->c_str());
    return std::nullopt;
  }
  FileSystem& fs = defaultFileSystem();
  if (Preferences::getPrefAlwaysSearchOriginalPath() && fs.exists(*decoded)) return decoded;
  if (!Preferences::getPrefDoUseVyrHiResAlternatePath1()) return std::nullopt;
  if (!inPath) return std::nullopt;
  if (inPath->empty()) {
    NSLog("NOT Valid Path to search into: [%s]", inPath->c_str());
    return std::nullopt;
  }
  FileInfo rootInfo;
  if (fs.stat(*inPath, &rootInfo) != 0) {
    NSLog("inPath does NOT Exist = [%s] ???", inPath->c_str());
    return std::nullopt;
  }
  if (rootInfo.type != FileType::Directory) {
    NSLog("inPath is NOT a directory = [%s] ???", inPath->c_str());
    return std::nullopt;
  }

  // One candidate per component: the path itself, then root + the path without its first
  // 1, 2, ... components. A relative path is looked for under the root from the start, not
  // under the working folder, so that "12345678/IMG.jpg" and "portrait.jpg" can be found at
  // root/12345678/IMG.jpg and root/portrait.jpg.
  std::vector<std::string> parts = pathComponents(*decoded);
  std::string candidate = joinedComponents(parts, 0);
  if (!parts.empty() && parts[0] != "/") candidate = appendingPathComponent(*inPath, candidate);
  for (std::size_t dropped = 0; dropped < parts.size(); ++dropped) {
    FileInfo info;
    if (!candidate.empty() && fs.stat(candidate, &info) == 0 && info.type != FileType::Directory)
      return candidate;
    candidate = appendingPathComponent(*inPath, joinedComponents(parts, dropped + 1));
  }
  if (logMiss)
    NSLog("doResolveOriginalPath FAILED to Find the item at Path: [%s]", decoded->c_str());
  return std::nullopt;
}

}  // namespace

std::optional<std::string> QMI_FileManager::doResolveOriginalPath(
    const std::optional<std::string>& path, const std::optional<std::string>& inPath) {
  return resolveUnderRoot(path, inPath, true);
}

std::optional<std::string> QMI_FileManager::doResolveOriginalPath(
    const std::optional<std::string>& path,
    const std::optional<std::vector<std::string>>& inArrayOfPaths) {
  if (!inArrayOfPaths) return doResolveOriginalPath(path, std::optional<std::string>());
  if (inArrayOfPaths->empty()) {
    // Not a valid list; searched as no list at all.
    NSLog("doResolveOriginalPath: an empty list of search roots");
    return doResolveOriginalPath(path, std::optional<std::string>());
  }
  std::vector<std::string> roots = *inArrayOfPaths;
  std::vector<std::string> more = visibleSubfolders(roots.front());
  roots.insert(roots.end(), more.begin(), more.end());
  for (const auto& root : roots) {
    if (auto found = resolveUnderRoot(path, root, false)) return found;
  }
  if (path) NSLog("doResolveOriginalPath FAILED to Find the item at Path: [%s]", path->c_str());
  return std::nullopt;
}

}  // namespace sorv
