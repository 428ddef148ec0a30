// Finding an ordered original: the recorded path itself, then, under each search root, the
// recorded path with one more leading component dropped at a time.
#include "files/OriginalPath.h"

#include <limits.h>
#include <stdlib.h>

#include <cstring>

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

// A recorded path made ready for the search: escapes undone, split into components.
struct Recorded {
  std::string decoded;
  std::vector<std::string> parts;
  bool isAbsolute() const { return !parts.empty() && parts[0] == "/"; }
};

std::optional<Recorded> recordedForSearch(const std::string& path) {
  auto decoded = decodedRecordedPath(path);
  if (!decoded) {
    NSLog("doResolveOriginalPath: malformed percent escape in [%s]", path.c_str());
    return std::nullopt;
  }
  if (hasParentDirectoryComponent(*decoded)) {
    NSLog("doResolveOriginalPath: refusing a path with a \"..\" component: [%s]", decoded->c_str());
    return std::nullopt;
  }
  return Recorded{*decoded, pathComponents(*decoded)};
}

bool isSearchableRoot(const std::string& root) {
  if (root.empty()) {
    NSLog("NOT Valid Path to search into: [%s]", root.c_str());
    return false;
  }
  FileInfo info;
  if (defaultFileSystem().stat(root, &info) != 0) {
    NSLog("inPath does NOT Exist = [%s] ???", root.c_str());
    return false;
  }
  if (info.type != FileType::Directory) {
    NSLog("inPath is NOT a directory = [%s] ???", root.c_str());
    return false;
  }
  return true;
}

// Whether path, with every link resolved, lies below root (also resolved).
bool resolvesInside(const std::string& path, const std::string& root) {
  char resolvedPath[PATH_MAX], resolvedRoot[PATH_MAX];
  if (!::realpath(path.c_str(), resolvedPath) || !::realpath(root.c_str(), resolvedRoot))
    return false;
  std::size_t n = std::strlen(resolvedRoot);
  if (n == 1) return true;  // the root is "/"
  return std::strncmp(resolvedPath, resolvedRoot, n) == 0 && resolvedPath[n] == '/';
}

// The candidates under one root, from the firstCandidate'th on: the path itself, then root +
// the path without its first 1, 2, ... components. Only files match. A relative path is
// looked for under the root from the start, not under the working folder, so that
// "12345678/IMG.jpg" and "portrait.jpg" can be found at root/12345678/IMG.jpg and
// root/portrait.jpg.
std::optional<std::string> searchUnderRoot(const Recorded& recorded, const std::string& root,
                                           std::size_t firstCandidate) {
  FileSystem& fs = defaultFileSystem();
  const auto& parts = recorded.parts;
  for (std::size_t dropped = firstCandidate; dropped < parts.size(); ++dropped) {
    std::string candidate = dropped == 0 && recorded.isAbsolute()
                                ? recorded.decoded
                                : appendingPathComponent(root, joinedComponents(parts, dropped));
    FileInfo info;
    if (fs.stat(candidate, &info) != 0 || info.type == FileType::Directory) continue;
    // A link inside the root may lead anywhere on the machine: only the root's own files
    // are sent.
    if (candidate != recorded.decoded && !resolvesInside(candidate, root)) {
      NSLog("doResolveOriginalPath: [%s] leads out of [%s] through a link; not used",
            candidate.c_str(), root.c_str());
      continue;
    }
    return candidate;
  }
  return std::nullopt;
}

// The recorded path itself, when the search method asks for it and something is there.
bool recordedPathAnswers(const Recorded& recorded) {
  return Preferences::getPrefAlwaysSearchOriginalPath() &&
         defaultFileSystem().exists(recorded.decoded);
}

void logMiss(const Recorded& recorded) {
  NSLog("doResolveOriginalPath FAILED to Find the item at Path: [%s]", recorded.decoded.c_str());
}

}  // namespace

std::optional<std::string> QMI_FileManager::doResolveOriginalPath(
    const std::optional<std::string>& path, const std::optional<std::string>& inPath) {
  if (!path) return std::nullopt;
  auto recorded = recordedForSearch(*path);
  if (!recorded) return std::nullopt;
  if (recordedPathAnswers(*recorded)) return recorded->decoded;
  if (!Preferences::getPrefDoUseVyrHiResAlternatePath1() || !inPath) return std::nullopt;
  if (!isSearchableRoot(*inPath)) return std::nullopt;
  if (auto found = searchUnderRoot(*recorded, *inPath, 0)) return found;
  logMiss(*recorded);
  return std::nullopt;
}

std::optional<std::string> QMI_FileManager::doResolveOriginalPath(
    const std::optional<std::string>& path,
    const std::optional<std::vector<std::string>>& inArrayOfPaths) {
  if (!inArrayOfPaths || inArrayOfPaths->empty()) {
    // An empty list is not a valid one; searched as no list at all.
    if (inArrayOfPaths) NSLog("doResolveOriginalPath: an empty list of search roots");
    return doResolveOriginalPath(path, std::optional<std::string>());
  }
  if (!path) return std::nullopt;
  auto recorded = recordedForSearch(*path);
  if (!recorded) return std::nullopt;
  // The recorded path itself is the same under every root: it is tested once.
  if (recordedPathAnswers(*recorded)) return recorded->decoded;
  if (!Preferences::getPrefDoUseVyrHiResAlternatePath1()) return std::nullopt;
  bool ownPathTested = false;
  auto search = [&](const std::string& root) -> std::optional<std::string> {
    std::size_t first = ownPathTested && recorded->isAbsolute() ? 1 : 0;
    ownPathTested = true;
    return searchUnderRoot(*recorded, root, first);
  };
  for (const auto& root : *inArrayOfPaths) {
    if (!isSearchableRoot(root)) continue;
    if (auto found = search(root)) return found;
  }
  // Then the visible folders directly inside the first root, in listing order (read once).
  FileSystem& fs = defaultFileSystem();
  const std::string& first = inArrayOfPaths->front();
  std::vector<std::string> names;
  fs.listDirectory(first, &names);
  for (const auto& name : names) {
    std::string folder = appendingPathComponent(first, name);
    FileInfo info;  // a linked folder may lie anywhere: not searched
    if (fs.lstat(folder, &info) != 0 || info.type != FileType::Directory ||
        isInvisibleFileAtPath2(folder))
      continue;
    if (auto found = search(folder)) return found;
  }
  logMiss(*recorded);
  return std::nullopt;
}

}  // namespace sorv
