// problems.jsonl: any file name and text survive the line and come back byte for byte; the
// reader takes the latest line of each path and skips what is not a line of ours.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>

#include "logfiles/ProblemJournal.h"
#include "platform/fs/AtomicWrite.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

TEST(ProblemJournal, AnyBytesComeBackAsTheyWere) {
  const std::string names[] = {
      "Event/IMG_1.jpg",
      "Fête/Ünïcode ✓.jpg",
      std::string("bad\xff\xfe byte/\x80x.jpg"),
      "quote\" back\\slash/tab\there\nnewline.jpg",
      std::string("nul\0inside", 10) + "/\x7f.png",
      "\xed\xa0\x80surrogate/\xc0\xafoverlong.jpg",
      "looks escaped \\udc80 \\u0041.jpg",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ProblemRecord r{"2026-05-01T10:20:30Z",
                    name,
                    name + ".mov",
                    503,
                    "ERROR",
                    name,
                    "Could not connect",
                    "HTTP Server Returned Status Code: 503"};
    std::string line = formatProblemLine(r);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line, whatever the name holds
    auto back = parseProblemLine(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, r);
  }
  ProblemRecord bare{"t", "a.jpg", "", std::nullopt, "", "", "", ""};
  EXPECT_EQ(parseProblemLine(formatProblemLine(bare).substr(0, formatProblemLine(bare).size() - 1)),
            bare);
}

TEST(ProblemJournal, LatestLinePerPathAndBadLinesSkipped) {
  test::TempDir dir;
  const std::string file = dir.sub("problems.jsonl");
  FileSystem& fs = defaultFileSystem();
  auto rec = [](const std::string& path, const std::string& reason) {
    return ProblemRecord{"2026-05-01T10:20:30Z", path, "", 500, "", "", "", reason};
  };
  ASSERT_EQ(appendProblemRecord(fs, file, rec("a.jpg", "first")), 0);
  ASSERT_EQ(appendProblemRecord(fs, file, rec("b.jpg", "other")), 0);
  {
    int fd = -1;
    ASSERT_EQ(fs.openAppending(file, 0600, &fd), 0);
    const std::string junk =
        "not json\n{\"path\":\"a.jpg\",\"reason\":{\"nested\":1}}\n"
        "{\"path\":\"a.jpg\"\n" +
        std::string(kMaxProblemLineBytes + 10, 'x') + "\n{}\n";
    ASSERT_EQ(::write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
    fs.closeDescriptor(fd);
  }
  ASSERT_EQ(appendProblemRecord(fs, file, rec("a.jpg", "latest")), 0);
  auto latest = latestProblemRecords(fs, file, {"a.jpg", "c.jpg"});
  ASSERT_EQ(latest.size(), 1u);
  EXPECT_EQ(latest["a.jpg"].reason, "latest");
  EXPECT_EQ(problemReasonText(std::nullopt), "unknown");
  EXPECT_EQ(problemReasonText(ProblemRecord{"", "x", "", 502, "", "", "", ""}), "HTTP status 502");
  EXPECT_TRUE(latestProblemRecords(fs, dir.sub("missing.jsonl"), {"a.jpg"}).empty());
}

// Only a regular file is appended to: a link in problems.jsonl's place is refused (its target
// is never written), and a FIFO is refused without blocking. Past its bound the file is rotated
// to problems.jsonl.1, whose lines the reader still finds; when problems.jsonl.1 is not a
// regular file the rotation is refused and the line still goes into problems.jsonl.
TEST(ProblemJournal, OnlyARegularFileIsAppendedAndItRotatesPastItsBound) {
  test::TempDir dir;
  FileSystem& fs = defaultFileSystem();
  const std::string file = dir.sub("problems.jsonl"), old = file + ".1";
  const std::string target = dir.sub("elsewhere.txt");
  auto rec = [](int n) {
    return ProblemRecord{
        "2026-05-01T10:20:30Z",       "IMG_" + std::to_string(n) + ".jpg", "", 500, "", "", "",
        "reason " + std::to_string(n)};
  };
  const std::size_t lineBytes = formatProblemLine(rec(10)).size();
  const std::uint64_t bound = 5 * lineBytes;  // five lines of IMG_10 .. IMG_99
  const struct {
    const char* what;
    std::function<void()> make;
    int expect;           // of each append
    int rotationFailure;  // of the append past the bound
    std::size_t inFile;   // lines in problems.jsonl after 12 appends
  } rows[] = {
      {"regular file", [] {}, 0, 0, 2},
      {"link in its place", [&] { ASSERT_EQ(::symlink(target.c_str(), file.c_str()), 0); }, ELOOP,
       0, 0},
      {"FIFO in its place", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, kRefusedFifo, 0,
       0},
      {"link in the old file's place",
       [&] { ASSERT_EQ(::symlink(target.c_str(), old.c_str()), 0); }, 0, kRefusedLink, 12},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    ::unlink(file.c_str());
    ::unlink(old.c_str());
    ASSERT_TRUE(test::writeFile(target, "not ours"));
    r.make();
    int lastRotationFailure = 0;
    for (int n = 10; n < 22; ++n) {
      int rotation = 0;
      EXPECT_EQ(appendProblemRecord(fs, file, rec(n), bound, &rotation), r.expect) << n;
      if (rotation) lastRotationFailure = rotation;
    }
    EXPECT_EQ(lastRotationFailure, r.rotationFailure);
    EXPECT_EQ(test::readFile(target), "not ours");
    if (r.expect != 0) continue;
    const std::string text = test::readFile(file);
    EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), r.inFile);
    // Every record is found: the latest in problems.jsonl, the older in problems.jsonl.1.
    std::set<std::string> wanted;
    for (int n = 10; n < 22; ++n) wanted.insert(rec(n).path);
    auto latest = latestProblemRecords(fs, file, wanted);
    EXPECT_EQ(latest.size(), r.inFile == 12 ? 12u : 7u);  // the first rotation's five are gone
    EXPECT_EQ(latest["IMG_21.jpg"].reason, "reason 21");
  }
  // A lock another process holds for good costs only the rotation: the line still goes in.
  ::unlink(old.c_str());
  int held = ::open(file.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const std::size_t before = test::readFile(file).size();
  EXPECT_EQ(appendProblemRecord(fs, file, rec(30), 1), 0);
  EXPECT_GT(test::readFile(file).size(), before);
  ::close(held);
}

}  // namespace
}  // namespace sorv
