#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Console.h"
#include "platform/Journal.h"
#include "platform/JournalSocket.h"
#include "platform/Thread.h"
#include "tests/support/DatagramSocket.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

// Sends standard error to a file while it lives.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    FILE* f = std::fopen(path.c_str(), "w");
    dup2(fileno(f), STDERR_FILENO);
    std::fclose(f);
  }
  ~StderrToFile() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

TEST(ConsoleTest, LinesCarryDateProcessPidAndThread) {
  test::TempDir tmp;
  std::string path = tmp.sub("err.txt");
  {
    StderrToFile redirect(path);
    setConsoleProcessName("Sorv-FTPUploader");
    NSLog("count %d, %s", 3, "100% done");
    NSLogText("literal %s %d");
    NSLogText("ends with newline\n");
    std::thread worker([] {
      startThread("scanFolderInThread-long-name", [] {});
      NSLogText("from a plain thread");
    });
    worker.join();
  }
  auto got = lines(test::readFile(path));
  ASSERT_EQ(got.size(), 4u);
  const std::string pid = std::to_string(getpid());
  const std::regex prefix(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} Sorv-FTPUploader\[)" +
                          pid + R"(:([^\]]+)\] (.*)$)");
  const char* texts[] = {"count 3, 100% done", "literal %s %d", "ends with newline",
                         "from a plain thread"};
  for (size_t i = 0; i < got.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[i], m, prefix)) << got[i];
    EXPECT_EQ(m[2], texts[i]);
    EXPECT_EQ(m[1] == "main", i < 3) << m[1];
  }
  EXPECT_EQ(stringWithFormat("%s-%05d", "x", 42), "x-00042");
  std::string big(5000, 'y');
  EXPECT_EQ(stringWithFormat("%s!", big.c_str()), big + "!");
}

TEST(ConsoleTest, ConcurrentLinesStayWhole) {
  test::TempDir tmp;
  std::string path = tmp.sub("err.txt");
  const std::string payload(300, 'z');
  {
    StderrToFile redirect(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 50; ++i) NSLogText(payload);
      });
    for (auto& th : threads) th.join();
  }
  auto got = lines(test::readFile(path));
  ASSERT_EQ(got.size(), 200u);
  for (const auto& l : got) EXPECT_EQ(l.substr(l.size() - payload.size()), payload);
}

TEST(ConsoleTest, WorkerThreadsAreNamed) {
  std::promise<std::string> name;
  auto future = name.get_future();
  startThread("orderCheckInThread", [&] { name.set_value(currentThreadName()); });
  EXPECT_EQ(future.get(), "orderCheckInThr");
  EXPECT_EQ(currentThreadName(), "main");
}

// A journal that is always the console and keeps what it is sent, or refuses it.
class FakeJournal : public Journal {
 public:
  bool active() override { return true; }
  bool send(const JournalEntry& entry) override {
    if (refuse) return false;
    std::lock_guard<std::mutex> lock(mutex);
    entries.push_back(entry);
    return true;
  }
  std::string field(size_t i, const std::string& name) {
    for (const auto& [key, value] : entries.at(i).fields)
      if (key == name) return value;
    return "(none)";
  }
  bool refuse = false;
  std::mutex mutex;
  std::vector<JournalEntry> entries;
};

TEST(ConsoleTest, UnderTheJournalEachMessageIsOneEntryWithItsPriority) {
  FakeJournal journal;
  test::ScopedEnv env({.journal = &journal});
  test::TempDir tmp;
  struct Case {
    std::function<void()> write;
    LogPriority priority;
    std::string message;
  } cases[] = {
      {[] { NSLogText("Scanning [/srv/Source]"); }, LogPriority::Info, "Scanning [/srv/Source]"},
      {[] { NSLog("ERROR: %s=%d", "prefUploadTimeOut", 0); }, LogPriority::Error,
       "ERROR: prefUploadTimeOut=0"},
      {[] { NSLogText("*** ERROR: uploadThread should have been terminated"); }, LogPriority::Error,
       "*** ERROR: uploadThread should have been terminated"},
      {[] { NSLogText("NSLog = FAILED in changing ZeroDate"); }, LogPriority::Error,
       "NSLog = FAILED in changing ZeroDate"},
      {[] { NSLogText("WARNING: the site address starts with http://"); }, LogPriority::Warning,
       "WARNING: the site address starts with http://"},
      {[] { NSLogText("NSLog = Unable to find the relaunch helper"); }, LogPriority::Warning,
       "NSLog = Unable to find the relaunch helper"},
      // A word that only begins like one of them is routine.
      {[] { NSLogText("Errors are counted per photo"); }, LogPriority::Info,
       "Errors are counted per photo"},
      {[] { NSLogText("Inside AppController => scanFolder..."); }, LogPriority::Debug,
       "Inside AppController => scanFolder..."},
      {[] { NSLogTextWithPriority(LogPriority::Error, "Status (error): Upload Failed"); },
       LogPriority::Error, "Status (error): Upload Failed"},
      // Several lines stay one entry; the trailing line end is the journal's to add.
      {[] { NSLogText("{\n  localItem = IMG_1.jpg;\n}\n"); }, LogPriority::Info,
       "{\n  localItem = IMG_1.jpg;\n}"},
      // Raw diagnostics lose their blank lines, and a blank text makes no entry.
      {[] { consolePrintf("\ncreateDirectory %s\n", "/srv/Mirror/Fair"); }, LogPriority::Info,
       "createDirectory /srv/Mirror/Fair"},
      // Carriage returns become line ends: the journal shows the text, not binary data.
      {[] { consolePrintf("\nmoveFileToPath2\rFROM %s\rTO %s\n\n", "a", "b"); }, LogPriority::Info,
       "moveFileToPath2\nFROM a\nTO b"},
  };
  std::string err = tmp.sub("err.txt");
  {
    StderrToFile redirect(err);
    for (const Case& c : cases) c.write();
    consolePrintf("\n\n");
  }
  EXPECT_EQ(test::readFile(err), "");  // nothing of it went to standard error as text
  ASSERT_EQ(journal.entries.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(journal.entries[i].message, cases[i].message) << i;
    EXPECT_EQ(journal.entries[i].priority, cases[i].priority) << cases[i].message;
    EXPECT_EQ(journal.field(i, "SORV_THREAD"), "main");
    EXPECT_EQ(journal.field(i, "SORV_ITEM"), "(none)");
  }

  // The item being uploaded is named on the entries written meanwhile, from any thread.
  journal.entries.clear();
  setConsoleItem("Fair/IMG_3.jpg");
  std::thread([] { NSLogText("Sending"); }).join();
  setConsoleItem("");
  NSLogText("Waiting For New Images...");
  ASSERT_EQ(journal.entries.size(), 2u);
  EXPECT_EQ(journal.field(0, "SORV_ITEM"), "Fair/IMG_3.jpg");
  EXPECT_EQ(journal.field(1, "SORV_ITEM"), "(none)");

  // A journal whose socket refuses still gets the priorities, through the stream's prefixes.
  journal.refuse = true;
  {
    StderrToFile redirect(err);
    NSLogText("ERROR: two\nlines");
    NSLogText("routine");
  }
  EXPECT_EQ(test::readFile(err), "<3>ERROR: two\n<3>lines\n<6>routine\n");
}

// The journal's native socket against a stand-in that reads, is full, or is not there: a send
// never waits, what waits is bounded (oldest dropped first) and goes out in order once the
// journal reads again, after one entry saying how many were dropped.
TEST(ConsoleTest, TheJournalSocketNeverWaitsAndSaysWhatItDropped) {
  using Result = JournalSocket::Result;
  auto entry = [](const std::string& text) {
    return journalDatagram({LogPriority::Info, text, {{"SORV_ITEM", "Fair/IMG_1.jpg"}}}, "t");
  };
  // The third entry is more than a datagram may hold: it goes as a memfd.
  const std::string big(20 << 20, 'x');
  auto text = [&](int i) { return std::to_string(i) + (i == 2 ? "\n" + big : ""); };
  const std::string dropped = journalDatagram(
      {LogPriority::Warning,
       "WARNING: 88 console messages were dropped while the journal was not reading",
       {}},
      "t");
  struct Case {
    std::string standIn;  // at the socket's path
    int entries;
    Result result;                   // of every send
    std::size_t count;               // entries the journal has in the end
    std::vector<std::string> heard;  // the first of them, and the last
  } cases[] = {
      {"reads", 3, Result::Sent, 3, {entry("0"), entry("1"), entry(text(2))}},
      {"full", 600, Result::Queued, 513, {dropped, entry("88"), entry("599")}},
      {"nothing", 2, Result::Unreachable, 0, {}},
      {"a file", 2, Result::Unreachable, 0, {}},
  };
  for (const Case& c : cases) {
    test::TempDir dir(test::TempDir::kShortPath);
    const std::string path = dir.sub("socket");
    std::optional<test::DatagramSocket> journal;
    if (c.standIn == "reads" || c.standIn == "full") journal.emplace(path);
    if (c.standIn == "full") journal->fill();
    if (c.standIn == "a file") test::writeFile(path, "");
    JournalSocket socket(path, "t");
    for (int i = 0; i < c.entries; ++i)
      EXPECT_EQ(socket.send(entry(text(i))), c.result) << c.standIn << " " << i;
    if (!journal) continue;
    for (int i = 0; i < 1000 && !socket.flush(); ++i) journal->read();
    journal->read();
    std::vector<std::string> heard;
    for (const std::string& m : journal->messages())
      if (!m.empty()) heard.push_back(m);
    ASSERT_EQ(heard.size(), c.count) << c.standIn;
    for (std::size_t i = 0; i + 1 < c.heard.size(); ++i) EXPECT_EQ(heard[i], c.heard[i]) << i;
    EXPECT_TRUE(heard.back() == c.heard.back()) << c.standIn;
  }
}

TEST(ConsoleTest, TheJournalStreamMustNameStandardError) {
  struct Case {
    const char* stream;
    bool matches;
  } cases[] = {
      {"64769:1234", true},
      {"64769:1235", false},
      {"1:1234", false},
      {"64769:1234x", false},
      {"64769:", false},
      {":1234", false},
      {"", false},
      {"64769 1234", false},
      {"99999999999999999999999:1234", false},  // too long to be a device number
      {"-64769:1234", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(journalStreamMatches(c.stream, 64769, 1234), c.matches) << c.stream;
  EXPECT_FALSE(journalStreamMatches(nullptr, 64769, 1234));
}

}  // namespace
}  // namespace sorv
