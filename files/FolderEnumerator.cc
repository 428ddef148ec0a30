#include "files/FolderEnumerator.h"

#include <errno.h>
#include <string.h>

#include <vector>

#include "platform/Console.h"
#include "platform/Paths.h"

namespace sorv {
namespace {

struct OpenFolder {
  std::string relativePath;
  std::vector<std::string> names;
  std::size_t next = 0;
};

}  // namespace

FolderEnumerator::FolderEnumerator(std::string startFolder, FileSystem& fs, std::size_t maxDepth)
    : start_(std::move(startFolder)), fs_(fs), maxDepth_(maxDepth) {}

bool FolderEnumerator::enumerate(const std::function<Visit(const FolderEntry&)>& visit) {
  std::vector<OpenFolder> stack(1);
  if (int rc = fs_.listDirectory(start_, &stack[0].names)) {
    NSLog("FolderEnumerator => cannot list [%s]: %s", start_.c_str(), strerror(rc));
    if (rc != E2BIG) return false;
  }
  while (!stack.empty()) {
    OpenFolder& top = stack.back();
    if (top.next == top.names.size()) {
      stack.pop_back();
      continue;
    }
    FolderEntry entry;
    entry.relativePath = top.relativePath.empty() ? top.names[top.next]
                                                  : top.relativePath + "/" + top.names[top.next];
    ++top.next;
    entry.fullPath = appendingPathComponent(start_, entry.relativePath);
    if (int rc = fs_.lstat(entry.fullPath, &entry.info)) {
      NSLog("FolderEnumerator => skipped [%s]: %s", entry.fullPath.c_str(), strerror(rc));
      continue;
    }
    Visit answer = visit(entry);
    if (answer == Visit::Stop) return true;
    if (answer == Visit::SkipContents || !entry.isFolder()) continue;
    if (stack.size() > maxDepth_) {
      NSLog("FolderEnumerator => not entering [%s]: too deep", entry.fullPath.c_str());
      continue;
    }
    // `top` may dangle once the stack grows; the new folder is read into its own slot.
    OpenFolder inner;
    inner.relativePath = entry.relativePath;
    if (int rc = fs_.listDirectory(entry.fullPath, &inner.names)) {
      NSLog("FolderEnumerator => cannot list [%s]: %s", entry.fullPath.c_str(), strerror(rc));
      if (rc != E2BIG) continue;
    }
    stack.push_back(std::move(inner));
  }
  return true;
}

}  // namespace sorv
