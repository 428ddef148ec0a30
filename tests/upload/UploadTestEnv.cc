#include "tests/upload/UploadTestEnv.h"

#include <stdlib.h>

#include "platform/Notifications.h"
#include "settings/DefaultsStore.h"

namespace sorv::test {

void UploadTest::SetUp() {
  ::setenv("SORV_DEFAULTS", dir.sub("defaults.plist").c_str(), 1);
  ::setenv("SORV_LOG_DIR", logDir().c_str(), 1);
  ::unsetenv("SORV_DEBUG_DUMPS");
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  setPref("prefVyrFuseAction", Value("upload.upload"));
  setPref("prefUploadMovie", Value(false));
}

void UploadTest::TearDown() {
  ::unsetenv("SORV_DEBUG_DUMPS");
}

void UploadTest::setPref(const std::string& key, const Value& value) {
  DefaultsStore::standard().setObject(value, key);
}

DictRef UploadTest::makeItem(const std::string& imageName, const std::string& imageBytes) {
  std::string path = dir.sub("source/event/" + imageName);
  writeFile(path, imageBytes);
  return makeDict(Dict{
      {kEdUser, Value("kiosk1")},
      {kEdPasswd, Value("s3cret")},
      {kEdFileName, Value(path)},
      {kEdClientName, Value("12345678")},
      {kEdEventName, Value("Summer")},
      {kEdMetaData, Value("<plist/>")},
      {kEdCaptureTime, Value("2026-12-08 15:50:19")},
      {kEdVyrFuseAction, Value("upload.upload")},
      {kLocalItem, Value("event/" + imageName)},
      {kLocalRootFolder, Value(dir.sub("source"))},
  });
}

NotificationRecorder::NotificationRecorder() {
  auto& center = NotificationCenter::defaultCenter();
  for (const char* name :
       {kUploadDoneNotification, kUploadSuccessNotification, kUploadFailNotification}) {
    center.addObserver(this, name, [this](const Notification* n) {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.push_back({n->name, n->userInfo ? *n->userInfo : Dict{}, n->userInfo != nullptr});
    });
  }
}

NotificationRecorder::~NotificationRecorder() {
  NotificationCenter::defaultCenter().removeObserver(this);
}

std::vector<NotificationRecorder::Entry> NotificationRecorder::entries() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

Dict NotificationRecorder::doneInfo() {
  Dict info;
  int count = 0;
  for (const auto& e : entries())
    if (e.name == kUploadDoneNotification) {
      info = e.info;
      ++count;
    }
  EXPECT_EQ(count, 1);
  return info;
}

std::string NotificationRecorder::outcome() {
  for (const auto& e : entries())
    if (e.name == kUploadSuccessNotification || e.name == kUploadFailNotification) return e.name;
  return "";
}

std::string fieldBytes(const std::string& name, const std::string& value) {
  return "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value;
}

std::string fileHeaderBytes(const std::string& field, const std::string& fileName,
                            const std::string& contentType) {
  return "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"" + field +
         "\"; filename=\"" + fileName + "\"\r\nContent-Type: " + contentType + "\r\n\r\n";
}

std::string closingBytes() {
  return "\r\n--0xKhTmLbOuNdArY--\r\n";
}

}  // namespace sorv::test
