#include "tests/ui/UiHarness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <filesystem>

#include "app/AppController.h"
#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "settings/DefaultsStore.h"

namespace sorv::test {

UiHarness::UiHarness() {
  setenv("SORV_DEFAULTS", dir.sub("defaults.plist").c_str(), 1);
  setenv("SORV_LOG_DIR", dir.sub("logs").c_str(), 1);
  Bundle::setMainBundlePath(dir.sub("Sorv-FTPUploader.app"));
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  AppController::resetCycleState();
  namespace fs = std::filesystem;
  fs::create_directories(resources());
  for (const char* language : {"English.lproj", "Spanish.lproj"})
    fs::copy(std::string(SORV_TEST_SOURCE_DIR) + "/resources/" + language,
             resources() + "/" + language, fs::copy_options::recursive);
  env.emplace(EnvParts{.runLoop = &loop});
}

UiHarness::~UiHarness() {
  pump();
  env.reset();
  AppController::resetCycleState();
}

void UiHarness::setPref(const std::string& key, const Value& value) {
  DefaultsStore::standard().setObject(value, key);
}

bool UiHarness::pumpUntil(const std::function<bool()>& cond, double capSeconds) {
  QElapsedTimer timer;
  timer.start();
  while (!cond()) {
    if (timer.elapsed() > capSeconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

void UiHarness::pump() {
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

}  // namespace sorv::test

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
