// What the upload tests share: a temporary home for the defaults and logs, the upload
// preferences, a full upload item on disk, and a recorder of the cycle's notifications.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Value.h"
#include "tests/support/TempDir.h"

namespace sorv::test {

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void setPref(const std::string& key, const Value& value);
  // A full upload info dictionary for an image file written under the temp folder.
  DictRef makeItem(const std::string& imageName, const std::string& imageBytes);
  std::string logDir() const { return dir.sub("logs"); }

  TempDir dir;
};

// Records the notifications the controller posts, in order, with copies of their user info.
class NotificationRecorder {
 public:
  NotificationRecorder();
  ~NotificationRecorder();
  struct Entry {
    std::string name;
    Dict info;
    bool hadInfo = false;
  };
  std::vector<Entry> entries();
  // The user info of the one "UploadDoneNotification" (fails the test when not exactly one).
  Dict doneInfo();
  // "UploadSuccessNotification", "UploadFailNotification" or "" when neither came.
  std::string outcome();

 private:
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

// The expected bytes of one text field and of a file part's header.
std::string fieldBytes(const std::string& name, const std::string& value);
std::string fileHeaderBytes(const std::string& field, const std::string& fileName,
                            const std::string& contentType);
std::string closingBytes();

}  // namespace sorv::test
