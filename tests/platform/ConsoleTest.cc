#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Console.h"
#include "platform/Thread.h"
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

}  // namespace
}  // namespace sorv
