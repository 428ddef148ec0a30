#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/AppController.h"
#include "files/UserTrash.h"
#include "logfiles/QMLogFileManager.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "settings/Preferences.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeFileDates.h"
#include "tests/support/FaultInjectionFileSystem.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

namespace fs = std::filesystem;
constexpr double kDay = 86400;

// One bundle, log folder, trash and documents folder for the whole process: the Info
// dictionary is read once.
class LogFilesEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir = new test::TempDir;
    setenv("SORV_DEFAULTS", dir->sub("defaults.plist").c_str(), 1);
    setenv("SORV_LOG_DIR", dir->sub("logs").c_str(), 1);
    setenv("XDG_DATA_HOME", dir->sub("share").c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", dir->sub("docs").c_str(), 1);
    setenv("TZ", "EST5", 1);
    tzset();
    test::writeFile(dir->sub("Uploader.app/Contents/Info.plist"),
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                    "<key>CFBundleExecutable</key><string>Uploader</string>"
                    "<key>CFBundleDisplayName</key><string>Sorv Uploader</string>"
                    "<key>CFBundleShortVersionString</key><string>1.2</string></dict></plist>\n");
    Bundle::setMainBundlePath(dir->sub("Uploader.app"));
    Preferences::setupFactoryDefaults();
  }
  void TearDown() override { delete dir; }
  static inline test::TempDir* dir = nullptr;
};

[[maybe_unused]] const auto* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogFilesEnvironment);

// Seconds since 1970 of a local time under TZ=EST5 (UTC-5, no summer time).
double estTime(int year, int mon, int mday, int h, int m, int s) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = mday;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  return static_cast<double>(timegm(&t)) + 5 * 3600;
}

class ScopedWallClock {
 public:
  explicit ScopedWallClock(double wall) : clock(1000, wall) {}
  test::FakeClock clock;

 private:
  test::ScopedEnv env_{{.clock = &clock}};
};

TEST(LogFiles, TheLogDayTurnsAtThreeInTheMorning) {
  const struct {
    double when;
    const char* day;
  } cases[] = {
      {estTime(2026, 12, 8, 2, 59, 59), "2026_12_07"},
      {estTime(2026, 12, 8, 3, 0, 0), "2026_12_08"},
      {estTime(2027, 1, 1, 1, 30, 0), "2026_12_31"},
      {estTime(2028, 3, 1, 2, 0, 0), "2028_02_29"},
  };
  for (const auto& c : cases) {
    ScopedWallClock wall(c.when);
    EXPECT_EQ(computeCurrentDaysFolderString2(3, 0), c.day);
  }
}

TEST(LogFiles, TwoStartsOnOneDayAppendTwoHeaders) {
  ScopedWallClock wall(estTime(2026, 12, 8, 2, 59, 0));
  {
    test::CapturedOutput err(2);
    QMLogFileManager::setupLogFile();
    QMLogFileManager::setupLogFile();
  }
  const std::string path = LogFilesEnvironment::dir->sub("logs/Uploader_2026_12_07.log");
  EXPECT_EQ(QMLogFileManager::logFilePathForToday(), path);
  std::istringstream in(test::readFile(path));
  std::vector<std::string> header;
  const std::string rule(59, '=');
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with(rule) || line.ends_with("Uploader => 1.2") ||
        line.find("Mac OS: v") != std::string::npos || line.ends_with(")"))
      header.push_back(line);
  }
  ASSERT_EQ(header.size(), 10u);
  for (int start = 0; start < 10; start += 5) {
    EXPECT_TRUE(header[start].ends_with(" " + rule));
    EXPECT_TRUE(header[start + 1].ends_with(" " + QMLogFileManager::hostModelAndArch()));
    EXPECT_NE(header[start + 2].find("Mac OS: v"), std::string::npos);
    EXPECT_TRUE(header[start + 3].ends_with(" Uploader => 1.2"));
    EXPECT_TRUE(header[start + 4].ends_with(" " + rule));
  }
}

TEST(LogFiles, RetentionByBaseNameAndAge) {
  test::ScopedFakeFileDates fake;
  test::TempDir outside;
  const std::string logs = LogFilesEnvironment::dir->sub("logs"),
                    docs = LogFilesEnvironment::dir->sub("docs");
  const struct {
    std::string path;
    double days;
    bool kept;
  } cases[] = {
      {logs + "/Uploader_2026_11_20.log", 15, false},
      {logs + "/UPLOADER_2026_11_20.LOG", 15, false},  // the base name in any case
      {logs + "/Uploader_2026_11_26.log", 13, true},
      {logs + "/otherLog.log", 400, true},
      {logs + "/Old/Uploader_2025_01_01.log", 400, false},  // subfolders are searched
      {docs + "/myConsole.Log", 15, false},
      {docs + "/Sub/myConsole.Log", 400, true},  // the documents run looks one level only
      {docs + "/myConsole_young.log", 2, true},
      {docs + "/Uploader_2025.log", 400, true},
      {outside.sub("Uploader_2025.log"), 400, true},  // behind a link in the log folder
  };
  const double now = defaultClock().wallNow();
  for (const auto& c : cases) {
    test::writeFile(c.path, "x");
    fake.dates.set(c.path, Date{now - c.days * kDay}, Date{now - c.days * kDay});
  }
  fs::create_directories(logs + "/Uploader_folder");
  fs::create_symlink(outside.path(), logs + "/Linked");
  fake.dates.set(logs + "/Linked/Uploader_2025.log", Date{0}, Date{0});
  QMLogFileManager::getApplicationName();
  AppController::deleteOldLogFiles();
  for (const auto& c : cases) EXPECT_EQ(fs::exists(c.path), c.kept) << c.path;
  EXPECT_TRUE(fs::is_directory(logs + "/Old"));
  EXPECT_TRUE(fs::is_directory(logs + "/Uploader_folder"));
}

TEST(LogFiles, TrashKeepsBothFilesOfOneName) {
  ScopedWallClock wall(estTime(2026, 12, 7, 12, 46, 21));
  test::TempDir dir;
  test::ScopedFakeFileDates fake;
  const std::string first = dir.sub("my logs/Uploader_1.log"), second = dir.sub("b/Uploader_1.log");
  test::writeFile(first, "first");
  test::writeFile(second, "second");
  for (const auto& p : {first, second}) fake.dates.set(p, Date{0}, Date{1e6});
  QMLogFileManager::deleteItem(first, Date{2e6}, "uploader", false);
  QMLogFileManager::deleteItem(second, Date{2e6}, "uploader", false);
  const std::string trash = userTrashPath();
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(test::readFile(trash + "/files/Uploader_1.log"), "first");
  EXPECT_EQ(test::readFile(trash + "/files/Uploader_1.log 20261207_124621"), "second");
  const std::string info = test::readFile(trash + "/info/Uploader_1.log.trashinfo");
  EXPECT_NE(info.find("[Trash Info]\nPath=" + dir.path() +
                      "/my%20logs/Uploader_1.log\n"
                      "DeletionDate=2026-12-07T12:46:21\n"),
            std::string::npos)
      << info;
  EXPECT_TRUE(fs::exists(trash + "/info/Uploader_1.log 20261207_124621.trashinfo"));
}

// The log files against a file system that refuses one step: the failure is logged once and
// the rest goes on; a day's log that cannot be opened leaves standard error where it was.
TEST(LogFiles, FileSystemFaultsAreLoggedOnce) {
  using Fault = test::FaultInjectionFileSystem;
  enum class Job { OpenTodaysLog, DeleteOldLogs };
  const struct {
    const char* name;
    Job job;
    Fault::Op op;
    int err;
    std::size_t kept;  // of the three old logs
    const char* logged;
  } cases[] = {
      {"a full disk when the day's log is created", Job::OpenTodaysLog, Fault::Op::OpenAppending,
       ENOSPC, 3, "could not open"},
      {"an old log whose unlink fails stays", Job::DeleteOldLogs, Fault::Op::UnlinkAt, EACCES, 1,
       "could not delete"},
      {"a log folder that cannot be listed", Job::DeleteOldLogs, Fault::Op::ListFolder, EIO, 3,
       "cannot list"},
  };
  for (const auto& c : cases) {
    ScopedWallClock wall(estTime(2027, 3, 1, 12, 0, 0));
    test::ScopedFakeFileDates fake;
    test::TempDir dir;
    const std::string logs = dir.sub("logs");
    for (const char* name : {"Uploader_1.log", "Uploader_2.log", "Uploader_3.log"}) {
      test::writeFile(logs + "/" + name, "old");
      fake.dates.set(logs + "/" + name, Date{0}, Date{0});
    }
    test::CapturedOutput err(2);
    {
      Fault faults;
      faults.failNth(c.op, 1, c.err);
      test::ScopedEnv env({.fileSystem = &faults});
      if (c.job == Job::OpenTodaysLog) {
        QMLogFileManager::setupLogFile();
      } else {
        QMLogFileManager::deleteOldLogsWithOptions(
            {{"sourcePath", logs}, {"baseName", "Uploader"}, {"deleteImmediately", true}});
      }
    }
    const std::string log = err.text();
    std::size_t lines = 0;
    for (std::size_t at = log.find(c.logged); at != std::string::npos;
         at = log.find(c.logged, at + 1))
      ++lines;
    EXPECT_EQ(lines, 1u) << c.name << "\n" << log;
    EXPECT_NE(log.find(strerror(c.err)), std::string::npos) << c.name << "\n" << log;
    std::size_t kept = 0;
    for (const auto& e : fs::directory_iterator(logs)) kept += e.is_regular_file();
    EXPECT_EQ(kept, c.kept) << c.name;
    if (c.job == Job::OpenTodaysLog) {
      // Nothing was put in place: the header went to the standard error that was there.
      EXPECT_FALSE(fs::exists(QMLogFileManager::logFilePathForToday())) << c.name;
      EXPECT_NE(log.find("Trying to freopen"), std::string::npos) << c.name;
    }
  }
}

}  // namespace
}  // namespace sorv
