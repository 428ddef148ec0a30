// relaunches.plist: what one process writes the next reads back, within bounds, and a file of
// any other shape reads as nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "logfiles/RelaunchState.h"
#include "platform/Plist.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

RelaunchState sample() {
  RelaunchState s;
  s.relaunched.push_back(
      {"/k/Source/Fair/IMG_1.jpg", {11, 2, 2200000, 1790000000123456789, 0}, 2, 1796850000.5});
  s.waiting.push_back(
      {"/k/Source/Fair/IMG_1.jpg", {11, 2, 2200000, 1790000000123456789, 0}, 1796849000});
  s.waiting.push_back({"/k/Source/Fair/latin\xe9 & <b>.jpg", {12, 2, 10, 5, 0}, 1796849001});
  return s;
}

TEST(RelaunchState, WrittenAndReadBack) {
  TempDir dir;
  const std::string file = dir.sub("relaunches.plist");
  FileSystem& fs = posixFileSystem();
  EXPECT_TRUE(readRelaunchState(fs, file).empty()) << "no file";
  ASSERT_EQ(writeRelaunchState(fs, file, sample()), 0);
  EXPECT_EQ(readRelaunchState(fs, file), sample());
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Nothing left to carry: the file goes.
  ASSERT_EQ(writeRelaunchState(fs, file, RelaunchState{}), 0);
  EXPECT_NE(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(writeRelaunchState(fs, file, RelaunchState{}), 0);
}

TEST(RelaunchState, BoundsAndBadInput) {
  RelaunchState many;
  for (int i = 0; i < 100; ++i)
    many.relaunched.push_back({"/s/" + std::to_string(i), {1, 1, 1, 1, 0}, 5000, 1.7e9});
  for (int i = 0; i < 1000; ++i)
    many.waiting.push_back({"/s/" + std::to_string(i), {1, 1, 1, 1, 0}, 1.7e9});
  many.waiting.push_back({"relative/path.jpg", {1, 1, 1, 1, 0}, 1.7e9});
  RelaunchState read = decodeRelaunchState(encodeRelaunchState(many));
  ASSERT_EQ(read.relaunched.size(), 100u);
  EXPECT_EQ(read.relaunched[0].relaunches, kMaxRecordedRelaunches);
  EXPECT_EQ(read.waiting.size(), kMaxFirstSeenRecords);
  for (int i = 100; i < 2000; ++i)  // more than the file holds: the waiting times go first
    many.relaunched.push_back({"/s/" + std::string(900, 'x') + std::to_string(i), {}, 2, 1.7e9});
  read = decodeRelaunchState(encodeRelaunchState(many));
  EXPECT_TRUE(read.waiting.empty() && read.relaunched.size() > 700 &&
              read.relaunched[700] == many.relaunched[700]);

  const std::string good = encodeRelaunchState(sample());
  const Dict okEntry{{"path", Value("/s/a.jpg")}, {"device", Value(1LL)},
                     {"inode", Value(2LL)},       {"size", Value(3LL)},
                     {"mtimeNs", Value(4LL)},     {"firstSeen", Value(1.7e9)}};
  struct Bad {
    const char* what;
    std::string bytes;
  };
  auto waitingWith = [&](const char* key, Value v) {
    Dict e = okEntry;
    if (v.isNil())
      e.erase(key);
    else
      e[key] = std::move(v);
    return plist::toXml(
        Value(Dict{{"version", Value(1LL)}, {"waiting", Value(Array{Value(std::move(e))})}}));
  };
  EXPECT_EQ(decodeRelaunchState(waitingWith("path", Value("/s/a.jpg"))).waiting.size(), 1u);
  const Bad bad[] = {
      {"empty", ""},
      {"not a property list", "{\"version\":1}"},
      {"cut short", good.substr(0, good.size() / 2)},
      {"an array", plist::toXml(Value(Array{Value(1LL)}))},
      {"another version", plist::toXml(Value(Dict{{"version", Value(2LL)}}))},
      {"no path", waitingWith("path", Value())},
      {"a relative path", waitingWith("path", Value("a.jpg"))},
      {"a text for a number", waitingWith("inode", Value("2"))},
      {"a real for an integer", waitingWith("size", Value(3.0))},
      {"a negative size", waitingWith("size", Value(-3LL))},
      {"a time that is no time", waitingWith("firstSeen", Value(-1.0))},
      {"a time far ahead", waitingWith("firstSeen", Value(1e300))},
      {"oversized", std::string(kMaxRelaunchStateBytes + 1, ' ')},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.what);
    EXPECT_TRUE(decodeRelaunchState(b.bytes).empty());
  }

  // A special file is never read (a FIFO would block the reader).
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.sub("fifo").c_str(), 0600), 0);
  EXPECT_TRUE(readRelaunchState(posixFileSystem(), dir.sub("fifo")).empty());
}

}  // namespace
}  // namespace sorv::test
