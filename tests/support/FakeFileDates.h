// File dates that tests set by hand; paths without set dates fall through to the real ones.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileDates.h"
#include "tests/support/ScopedEnv.h"

namespace sorv::test {

class FakeFileDates : public FileDates {
 public:
  // Gives path these dates (creation nullopt: none recorded).
  void set(const std::string& path, std::optional<Date> creation, Date modification) {
    std::lock_guard<std::mutex> lock(mu_);
    dates_[path] = FileDateInfo{creation, modification};
  }
  // Lets setCreationDate succeed (the real one never does on Linux).
  void allowSettingCreationDate(bool allow) {
    std::lock_guard<std::mutex> lock(mu_);
    allowSet_ = allow;
  }
  // Every setCreationDate call, in order.
  std::vector<std::pair<std::string, Date>> setCalls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return setCalls_;
  }

  std::optional<FileDateInfo> read(const std::string& path) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = dates_.find(path);
      if (it != dates_.end()) return it->second;
    }
    return realFileDates().read(path);
  }
  bool setCreationDate(const std::string& path, Date date) override {
    std::lock_guard<std::mutex> lock(mu_);
    setCalls_.emplace_back(path, date);
    if (!allowSet_) return false;
    dates_[path].creation = date;
    return true;
  }

 private:
  mutable std::mutex mu_;
  std::map<std::string, FileDateInfo> dates_;
  std::vector<std::pair<std::string, Date>> setCalls_;
  bool allowSet_ = false;
};

// Installs a FakeFileDates as the process's file dates for the lifetime of the object.
class ScopedFakeFileDates {
 public:
  FakeFileDates dates;

 private:
  ScopedEnv env_{{.fileDates = &dates}};
};

}  // namespace sorv::test
