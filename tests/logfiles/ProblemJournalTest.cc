// problems.jsonl: any file name and text survive the line and come back byte for byte; the
// reader takes the latest line of each path and skips what is not a line of ours.
#include <gtest/gtest.h>
#include <unistd.h>

#include "logfiles/ProblemJournal.h"
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

}  // namespace
}  // namespace sorv
