// Forwards to the real file system and, just before each lstat or listing that `when` picks,
// runs `action` (not from inside an action): changes between two steps of a walk.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/FaultInjectionFileSystem.h"

namespace sorv::test {

class ActingFileSystem : public FaultInjectionFileSystem {
 public:
  int lstat(const std::string& path, FileInfo* info) override {
    act(path);
    return FaultInjectionFileSystem::lstat(path, info);
  }
  int listDirectory(const std::string& path, std::vector<std::string>* names,
                    std::size_t maxNames) override {
    act(path);
    return FaultInjectionFileSystem::listDirectory(path, names, maxNames);
  }
  std::function<bool(const std::string& path)> when;
  std::function<void()> action;

 private:
  void act(const std::string& path) {
    std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || acting_ || !when || !when(path)) return;
    acting_ = true;
    action();
    acting_ = false;
  }
  std::recursive_mutex mutex_;
  bool acting_ = false;
};

}  // namespace sorv::test
