#include "metadata/ItemRules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "log/MessageLog.h"
#include "metadata/ByteSource.h"
#include "metadata/ImageDecode.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace sorv {

namespace {

// A ".hidden" list longer than this is read only up to here.
constexpr std::size_t kMaxHiddenListBytes = 64 * 1024;

bool isBlankOrTab(char c) {
  return c == ' ' || c == '\t';
}

bool existsAtPath(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The parent folder's ".hidden" file names the item on a line of its own.
bool isListedInHiddenFile(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::string name = lastPathComponent(trimmed);
  if (name.empty() || name == "/" || name == "." || name == "..") return false;
  struct stat st;
  if (lstat(trimmed.c_str(), &st) != 0) return false;
  const std::string parent = deletingLastPathComponent(trimmed);
  std::unique_ptr<FileSource> list = FileSource::open(
      parent.empty() ? std::string(".hidden") : appendingPathComponent(parent, ".hidden"));
  if (!list) return false;
  std::string text(std::min<std::uint64_t>(list->size(), kMaxHiddenListBytes), '\0');
  text.resize(list->read(0, text.data(), text.size()));
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == name) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool IsValidImageObject(const std::optional<std::string>& path) {
  if (!path) {
    myPrintfDebug("IsValidImageObject => Passed a nil objectPath!!\n");
    NSLog("NSLog IsValidImageObject => Passed a nil objectPath!!");
    return false;
  }
  std::unique_ptr<FileSource> file = FileSource::open(*path);
  return file && decodeImageCompletely(*file);
}

std::string getBaseIDFromFileName(const std::string& pathOrName) {
  std::string name = deletingPathExtension(lastPathComponent(pathOrName));
  std::size_t first = 0, last = name.size();
  while (first < last && isBlankOrTab(name[first])) ++first;
  while (last > first && isBlankOrTab(name[last - 1])) --last;
  name = name.substr(first, last - first);

  std::size_t found = name.find('_');
  if (found == std::string::npos) {
    NSLog("Did NOT Find '_' in string...");
    found = name.find(' ');
    if (found == std::string::npos) NSLog("Did NOT Find ' ' in string...");
  }
  if (found != std::string::npos) {
    NSLog("FoundRange={%i,%i}", static_cast<int>(found), 1);
    name.resize(found);
  }
  NSLog("Found BaseID = [%s]", name.c_str());
  return name;
}

std::optional<std::string> getMatchingExistingMovieFilePath(
    const std::optional<std::string>& imagePath) {
  if (!imagePath) return std::nullopt;
  const std::string stem = deletingPathExtension(*imagePath);
  const std::array<std::string, 2> candidates = {appendingPathExtension(stem, "mov"),
                                                 stem + "_muxed.mov"};
  for (const std::string& candidate : candidates) {
    if (existsAtPath(candidate)) return candidate;
  }
  NSLog("Inside %s => Unable to Find Anything...", __func__);
  return std::nullopt;
}

bool isInvisibleFileAtPath2(const std::string& path) {
  // Both tests always run, as the rule is their logical or.
  const bool listedHidden = isListedInHiddenFile(path);
  const bool systemPath =
      path == "/Network" || path == "/mach" || path == "/mach.sym" || path == "/dev";
  if (listedHidden) NSLog("itemInfo.flags & kLSItemInfoIsInvisible = isHidden...");
  return listedHidden || systemPath;
}

}  // namespace sorv
