#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "log/LogText.h"
#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::CapturedOutput;
using test::readFile;
using test::TempDir;
using test::writeFile;

// One bundle for the whole process: its display name is read once.
class LogBundleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir = new TempDir;
    setenv("SORV_DEFAULTS", dir->sub("defaults.plist").c_str(), 1);
    setenv("SORV_LOG_DIR", dir->sub("logs").c_str(), 1);
    writeFile(dir->sub("Uploader.app/Contents/Info.plist"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleName</key><string>Sorv</string>"
              "<key>CFBundleDisplayName</key><string>Uploader</string></dict></plist>\n");
    Bundle::setMainBundlePath(dir->sub("Uploader.app"));
  }
  void TearDown() override {
    MessageLog::CloseLog();
    delete dir;
  }
  static inline TempDir* dir = nullptr;
};

[[maybe_unused]] const auto* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogBundleEnvironment);

std::string logText() {
  return readFile(MessageLog::logFilePath());
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct tm makeTm(int year, int mon, int mday, int wday, int h, int m, int s) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = mon;
  t.tm_mday = mday;
  t.tm_wday = wday;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  return t;
}

TEST(MessageLogTest, StampHasTheAsctimeForm) {
  const std::pair<struct tm, const char*> cases[] = {
      {makeTm(2026, 11, 7, 1, 12, 46, 21), "Mon Dec  7 12:46:21 2026"},
      {makeTm(2026, 11, 17, 4, 9, 5, 3), "Thu Dec 17 09:05:03 2026"},
      {makeTm(2027, 0, 1, 5, 0, 0, 0), "Fri Jan  1 00:00:00 2027"},
      {makeTm(2030, 6, 31, 3, 23, 59, 59), "Wed Jul 31 23:59:59 2030"},
      // Fields out of range must not read past the name tables.
      {makeTm(2026, 12, 7, 7, 1, 2, 3), "??? ???  7 01:02:03 2026"},
      {makeTm(2026, -1, 7, -1, 1, 2, 3), "??? ???  7 01:02:03 2026"},
  };
  for (const auto& [t, expected] : cases) {
    EXPECT_EQ(asctimeStamp(t), expected);
  }
  // Agrees with the C library for the current time.
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char buf[64];
  asctime_r(&local, buf);
  EXPECT_EQ(asctimeStamp(local) + "\n", buf);
  EXPECT_EQ(asctimeStamp(local).size(), 24u);
}

TEST(MessageLogTest, FileIsDisplayNameLogInTheLogFolder) {
  EXPECT_EQ(MessageLog::logFilePath(), LogBundleEnvironment::dir->sub("logs/UploaderLog.txt"));
}

TEST(MessageLogTest, EntryHasStampArrowAndText) {
  std::set<std::string> possible;
  time_t before = time(nullptr);
  MessageLog::InitLog();
  MessageLog::LogMessage("applicationWillFinishLaunching", false);
  time_t after = time(nullptr);
  for (time_t t = before; t <= after; ++t) {
    struct tm local {};
    localtime_r(&t, &local);
    possible.insert("[" + asctimeStamp(local) + "] ==> applicationWillFinishLaunching\n");
  }
  EXPECT_TRUE(possible.count(logText())) << logText();
  MessageLog::CloseLog();
}

TEST(MessageLogTest, TextsAreWrittenLiterallyAndWhole) {
  const std::string longText(100000, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {"100%d done %s %n %%", "100%d done %s %n %%\n"},
      {"ends with newline\n", "ends with newline\n\n"},
      {"", "\n"},
      {"caf\xc3\xa9 \xe2\x80\x94 ok", "caf\xc3\xa9 \xe2\x80\x94 ok\n"},
      {longText, longText + "\n"},
  };
  for (const auto& [text, tail] : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    MessageLog::InitLog();
    MessageLog::LogMessage(text.c_str(), false);
    std::string file = logText();
    ASSERT_GE(file.size(), 31u);
    EXPECT_EQ(file.substr(0, 1), "[");
    EXPECT_EQ(file.substr(25, 6), "] ==> ");
    EXPECT_EQ(file.substr(31), tail);
  }
  MessageLog::CloseLog();
}

TEST(MessageLogTest, EachInitLogStartsAnEmptyFileAndKeepsThePreviousRun) {
  std::filesystem::remove_all(LogBundleEnvironment::dir->sub("logs"));
  const std::string previous = MessageLog::logFilePath() + ".1";
  for (const char* run : {"first run", "second run", "third run"}) {
    MessageLog::InitLog();
    MessageLog::LogMessage(std::string(run));
    MessageLog::CloseLog();
  }
  std::string file = logText();
  EXPECT_EQ(lines(file).size(), 1u);
  EXPECT_NE(file.find("] ==> third run\n"), std::string::npos);
  // Only the run before is kept.
  EXPECT_EQ(lines(readFile(previous)).size(), 1u);
  EXPECT_NE(readFile(previous).find("] ==> second run\n"), std::string::npos);
}

TEST(MessageLogTest, ConsoleLinesForEchoAndClosedLog) {
  MessageLog::InitLog();
  {
    CapturedOutput err(2);
    MessageLog::LogMessage(std::string("quiet"));
    EXPECT_EQ(err.text(), "");  // the std::string form never echoes
  }
  {
    CapturedOutput err(2);
    MessageLog::LogMessage("loud", true);
    std::string console = err.text();
    EXPECT_EQ(lines(console).size(), 1u) << console;
    EXPECT_NE(console.find("NSLog = loud\n"), std::string::npos) << console;
  }
  MessageLog::CloseLog();
  MessageLog::CloseLog();  // a second close is harmless
  std::string fileBefore = logText();
  {
    CapturedOutput err(2);
    MessageLog::LogMessage("after close", true);
    MessageLog::LogMessage(std::string("after close, quiet"));
    std::vector<std::string> console = lines(err.text());
    ASSERT_EQ(console.size(), 3u);
    EXPECT_NE(console[0].find("Logfile may be closed already?????"), std::string::npos);
    EXPECT_NE(console[1].find("NSLog = after close"), std::string::npos);
    EXPECT_NE(console[2].find("Logfile may be closed already?????"), std::string::npos);
  }
  EXPECT_EQ(logText(), fileBefore);
  EXPECT_EQ(fileBefore.find("after close"), std::string::npos);
}

TEST(MessageLogTest, MyNSLogAddsOneNewlineAndWritesBothSinks) {
  for (const char* format : {"abc", "abc\n"}) {
    SCOPED_TRACE(format);
    MessageLog::InitLog();
    std::string console;
    {
      CapturedOutput err(2);
      auto log = myNSLog;  // the format under test is not a literal
      log(format);
      console = err.text();
    }
    EXPECT_EQ(console, "abc\n");
    std::string file = logText();
    ASSERT_GE(file.size(), 31u);
    EXPECT_EQ(file.substr(31), "abc\n\n");
  }
  {
    CapturedOutput err(2);
    myNSLog("n=%d s=%s", 5, "x%d");
    EXPECT_EQ(err.text(), "n=5 s=x%d\n");
  }
  EXPECT_NE(logText().find("] ==> n=5 s=x%d\n\n"), std::string::npos);
  MessageLog::CloseLog();
  {
    // After close: the console still gets the text; the file gets nothing.
    CapturedOutput err(2);
    myNSLog("late %s", "entry");
    std::string console = err.text();
    EXPECT_EQ(console.substr(0, 11), "late entry\n");
    EXPECT_NE(console.find("Logfile may be closed already?????"), std::string::npos);
  }
  EXPECT_EQ(logText().find("late entry"), std::string::npos);
}

TEST(MessageLogTest, PrintfsWriteStdoutOnly) {
  MessageLog::InitLog();
  CapturedOutput out(1);
  myPrintf("one %d ");
  myPrintfDebug("two\n");
  myPrintfInternal("hidden", false, true);
  EXPECT_EQ(out.text(), "one %d two\n");
  EXPECT_EQ(logText(), "");
  MessageLog::CloseLog();
}

TEST(MessageLogTest, ConcurrentEntriesNeverInterleave) {
  MessageLog::InitLog();
  constexpr int kThreads = 4, kEntries = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEntries; ++i) {
        std::string text = "thread " + std::to_string(t) + " entry " + std::to_string(i) + " " +
                           std::string(static_cast<size_t>(50 + i), static_cast<char>('a' + t));
        MessageLog::LogMessage(text);
      }
    });
  for (auto& th : threads) th.join();
  MessageLog::CloseLog();
  const std::regex entry(
      R"(\[\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\] ==> thread (\d) entry (\d+) ([a-d]+))");
  std::vector<int> next(kThreads, 0);
  auto all = lines(logText());
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kEntries));
  for (const std::string& line : all) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, entry)) << line;
    int t = std::stoi(m[1]);
    int i = std::stoi(m[2]);
    EXPECT_EQ(i, next[t]++);  // one thread's entries keep their order
    EXPECT_EQ(m[3].str(), std::string(static_cast<size_t>(50 + i), static_cast<char>('a' + t)));
  }
}

TEST(MessageLogTest, ALogThatCannotBeOpenedIsSaidOnceAndDropsEntries) {
  namespace fs = std::filesystem;
  const std::string path = MessageLog::logFilePath();
  const std::string elsewhere = LogBundleEnvironment::dir->sub("elsewhere.txt");
  struct Case {
    const char* name;
    std::function<void()> make;
  } cases[] = {
      {"a folder in its place", [&] { fs::create_directories(path); }},
      // A link is never followed: the file it names stays as it was.
      {"a link to another file",
       [&] {
         writeFile(elsewhere, "keep");
         fs::create_symlink(elsewhere, path);
       }},
  };
  for (const Case& c : cases) {
    fs::remove_all(LogBundleEnvironment::dir->sub("logs"));
    fs::create_directories(LogBundleEnvironment::dir->sub("logs"));
    c.make();
    CapturedOutput opening(2);
    MessageLog::InitLog();
    std::string said = opening.text();
    EXPECT_NE(said.find("cannot be opened"), std::string::npos) << c.name << ": " << said;
    CapturedOutput err(2);
    MessageLog::LogMessage("dropped", false);
    MessageLog::LogMessage("dropped again", false);
    EXPECT_EQ(err.text(), "") << c.name;
    MessageLog::CloseLog();
  }
  EXPECT_EQ(readFile(elsewhere), "keep");
  fs::remove_all(LogBundleEnvironment::dir->sub("logs"));
}

TEST(MessageLogTest, AReplyAddsAtMost4KiBToALine) {
  const std::string head(4096, 'x');
  const std::pair<std::string, std::string> rows[] = {
      {head, head},
      {head + "y", head + "... (1 byte more)"},
      {head.substr(1) + "\xc3\xa9z", head.substr(1) + "... (3 bytes more)"}};
  for (const auto& [text, clipped] : rows) EXPECT_EQ(clippedForLog(text), clipped);
}

}  // namespace
}  // namespace sorv
