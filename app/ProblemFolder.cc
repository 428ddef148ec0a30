#include "app/ProblemFolder.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "files/DescriptorWalk.h"
#include "files/SafeMove.h"
#include "logfiles/ProblemJournal.h"
#include "platform/Paths.h"
#include "platform/fs/FileSystem.h"

namespace sorv {

namespace {

constexpr std::size_t kMaxRelativeBytes = 4096;
constexpr std::size_t kMaxDepth = 64;
// Files looked at in one listing; the newest of them are listed.
constexpr std::size_t kMaxScanned = 200000;

bool isMovieName(const std::string& name) {
  return strcasecmp(pathExtension(name).c_str(), "mov") == 0;
}

std::vector<std::string> components(const std::string& relative) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = relative.find('/', start);
    parts.push_back(relative.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

// Creates the folders of `relativeFolder` below root and checks that each is a folder, not a
// link; "" when they are, else why not.
std::string plainFolders(FileSystem& fs, const std::string& root,
                         const std::string& relativeFolder) {
  if (relativeFolder.empty()) return "";
  std::string path = root;
  for (const std::string& part : components(relativeFolder)) {
    path = appendingPathComponent(path, part);
    fs.makeDirectory(path, 0777);
    FileInfo info;
    if (fs.lstat(path, &info) != 0 || info.type != FileType::Directory)
      return "[" + displayPath(path) + "] is not a folder in the source folder";
  }
  return "";
}

}  // namespace

std::vector<ProblemPhoto> listProblemPhotos(
    const std::string& problemRoot, std::size_t maxPhotos,
    const std::function<std::string(const std::string& path)>& namedMovie) {
  std::vector<ProblemPhoto> photos;
  std::set<std::string> movies;
  walkBelow(
      problemRoot, true,
      [&](const WalkEntry& e) {
        if (e.name.empty() || e.name[0] == '.') return WalkVisit::SkipContents;
        if (!e.isRegularFile()) return WalkVisit::Continue;
        if (isMovieName(e.name)) {
          movies.insert(e.relativePath);
        } else if (photos.size() < kMaxScanned) {
          photos.push_back({e.relativePath, {}, static_cast<double>(e.info.ctimeNs) / 1e9});
        }
        return WalkVisit::Continue;
      },
      kMaxDepth);
  std::sort(photos.begin(), photos.end(), [](const ProblemPhoto& a, const ProblemPhoto& b) {
    return a.movedAt != b.movedAt ? a.movedAt > b.movedAt : a.path < b.path;
  });
  if (photos.size() > maxPhotos) photos.resize(maxPhotos);
  for (ProblemPhoto& photo : photos) {
    const std::string stem = deletingPathExtension(photo.path);
    std::vector<std::string> candidates = {stem + ".mov", stem + "_muxed.mov"};
    if (namedMovie) {
      std::string named = namedMovie(photo.path);
      if (!named.empty()) candidates.insert(candidates.begin(), named);
    }
    for (const std::string& movie : candidates) {
      if (deletingLastPathComponent(movie) != deletingLastPathComponent(photo.path)) continue;
      if (movies.count(movie) &&
          std::find(photo.movies.begin(), photo.movies.end(), movie) == photo.movies.end())
        photo.movies.push_back(movie);
    }
  }
  return photos;
}

std::string problemPathRefusal(const std::string& problemRoot, const std::string& relative) {
  if (relative.empty() || relative.size() > kMaxRelativeBytes)
    return "not a path in the problem folder";
  if (relative[0] == '/') return "an absolute path; give the path inside the problem folder";
  if (relative.find('\0') != std::string::npos) return "not a path in the problem folder";
  FileSystem& fs = defaultFileSystem();
  std::string path = problemRoot;
  const auto parts = components(relative);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part.empty() || part == "." || part == "..")
      return "\"..\", \".\" and empty parts are refused";
    if (part.size() > 255) return "not a path in the problem folder";
    path = appendingPathComponent(path, part);
    FileInfo info;
    if (fs.lstat(path, &info) != 0) return "no such photo in the problem folder";
    if (info.type == FileType::Symlink)
      return "a link; only photos in the problem folder are moved";
    bool last = i + 1 == parts.size();
    if (last ? info.type != FileType::Regular : info.type != FileType::Directory)
      return "no such photo in the problem folder";
  }
  return "";
}

bool requeueProblemPhoto(const std::string& problemRoot, const std::string& sourceRoot,
                         const ProblemPhoto& photo, std::string* message) {
  FileSystem& fs = defaultFileSystem();
  const std::string shown = displayPath(photo.path);
  auto refuse = [&](const std::string& why) {
    *message = "NOT REQUEUED " + shown + ": " + why;
    return false;
  };
  if (std::string why = problemPathRefusal(problemRoot, photo.path); !why.empty())
    return refuse(why);
  if (!fs.isDirectory(sourceRoot)) return refuse("the source folder is not there");
  std::vector<std::string> movies;
  for (const std::string& movie : photo.movies)
    if (problemPathRefusal(problemRoot, movie).empty()) movies.push_back(movie);
  // Nothing in the source is ever replaced: every name must be free before anything moves.
  for (const std::string& rel : [&] {
         auto all = movies;
         all.push_back(photo.path);
         return all;
       }()) {
    FileInfo there;
    if (fs.lstat(appendingPathComponent(sourceRoot, rel), &there) == 0)
      return refuse("[" + displayPath(rel) + "] is already taken in the source folder");
  }
  if (std::string why = plainFolders(fs, sourceRoot, deletingLastPathComponent(photo.path));
      !why.empty())
    return refuse(why);
  // The movies go first: a photo that names its movie waits in the source until it is there.
  std::vector<std::string> moved;
  for (const std::string& movie : movies) {
    if (moveFileSafely(fs, appendingPathComponent(problemRoot, movie),
                       appendingPathComponent(sourceRoot, movie), false) == 0)
      moved.push_back(movie);
  }
  int rc = moveFileSafely(fs, appendingPathComponent(problemRoot, photo.path),
                          appendingPathComponent(sourceRoot, photo.path), false);
  if (rc != 0) {
    for (const std::string& movie : moved)
      moveFileSafely(fs, appendingPathComponent(sourceRoot, movie),
                     appendingPathComponent(problemRoot, movie), false);
    return refuse(std::string("the move failed: ") + std::strerror(rc));
  }
  *message = "REQUEUED " + shown;
  for (const std::string& movie : moved)
    *message += " with " + displayPath(lastPathComponent(movie));
  return true;
}

std::string displayPath(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t n = utf8SequenceLength(bytes, i);
    if (n == 0 || (n == 1 && static_cast<unsigned char>(bytes[i]) < 0x20)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(bytes[i]));
      text += buf;
      ++i;
    } else {
      text.append(bytes, i, n);
      i += n;
    }
  }
  return text;
}

std::string pathFromDisplay(const std::string& text) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hex(text[i + 2]) >= 0 &&
        hex(text[i + 3]) >= 0) {
      bytes.push_back(static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3])));
      i += 3;
    } else {
      bytes.push_back(text[i]);
    }
  }
  return bytes;
}

}  // namespace sorv
