#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "files/InotifyReader.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

// One record as the kernel lays it out: the header, then the name padded with NULs to len;
// at most `bytes` of it (a record cut short by the read), so a huge len costs no memory.
std::string record(int wd, std::uint32_t mask, const std::string& name, std::uint32_t len,
                   std::size_t bytes = std::string::npos) {
  inotify_event header{};
  header.wd = wd;
  header.mask = mask;
  header.len = len;
  std::string out(reinterpret_cast<const char*>(&header), sizeof header);
  std::string padded = name.substr(0, len);
  padded.resize(std::min<std::size_t>(len, bytes), '\0');
  return (out + padded).substr(0, bytes);
}

struct Seen {
  int wd;
  std::uint32_t mask;
  std::string name;
  bool overflowed;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> parseAll(const std::string& bytes) {
  std::vector<Seen> seen;
  std::size_t n = InotifyReader::parse(bytes.data(), bytes.size(), [&](const InotifyEvent& ev) {
    seen.push_back({ev.wd, ev.mask, std::string(ev.name), ev.overflowed()});
  });
  EXPECT_EQ(n, seen.size());
  return seen;
}

TEST(InotifyReader, TakesApartWholeRecordsAndDropsWhatIsCut) {
  const std::string closed = record(1, IN_CLOSE_WRITE, "IMG_1.jpg", 16);
  const std::string folder = record(2, IN_CREATE | IN_ISDIR, "Event 2", 16);
  const struct {
    const char* what;
    std::string bytes;
    std::vector<Seen> expected;
  } cases[] = {
      {"nothing", "", {}},
      {"an event on the folder itself", record(3, IN_ATTRIB, "", 0), {{3, IN_ATTRIB, "", false}}},
      {"a name padded with NULs", closed, {{1, IN_CLOSE_WRITE, "IMG_1.jpg", false}}},
      {"two records in order",
       closed + folder,
       {{1, IN_CLOSE_WRITE, "IMG_1.jpg", false}, {2, IN_CREATE | IN_ISDIR, "Event 2", false}}},
      {"the queue overflowed", record(-1, IN_Q_OVERFLOW, "", 0), {{-1, IN_Q_OVERFLOW, "", true}}},
      {"a name without NUL ends at its length",
       record(4, IN_MOVED_TO, "ABCDEFGH", 8),
       {{4, IN_MOVED_TO, "ABCDEFGH", false}}},
      {"a header cut short",
       closed + folder.substr(0, sizeof(inotify_event) - 1),
       {{1, IN_CLOSE_WRITE, "IMG_1.jpg", false}}},
      {"a name running past the read",
       closed + folder.substr(0, folder.size() - 1),
       {{1, IN_CLOSE_WRITE, "IMG_1.jpg", false}}},
      {"a length far past the read", record(5, IN_CREATE, "x", 0xFFFFFFF0u, 64), {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseAll(c.bytes), c.expected) << c.what;
}

TEST(InotifyReader, DrainsWhatTheKernelQueuedAndThenNothing) {
  test::TempDir dir;
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(fd, 0);
  int wd = inotify_add_watch(fd, dir.path().c_str(), IN_CLOSE_WRITE | IN_CREATE);
  ASSERT_GE(wd, 0);
  // More events than one read takes, so that the drain reads several times.
  const int files = 3000;
  for (int i = 0; i < files; ++i)
    ASSERT_TRUE(test::writeFile(dir.sub("IMG_" + std::to_string(i)), "x"));

  int created = 0, closed = 0;
  bool ordered = true;
  InotifyReader reader(fd);
  reader.drain([&](const InotifyEvent& ev) {
    EXPECT_EQ(ev.wd, wd);
    if (ev.mask & IN_CREATE) ordered &= ev.name == "IMG_" + std::to_string(created++);
    if (ev.mask & IN_CLOSE_WRITE) ++closed;
  });
  EXPECT_EQ(created, files);
  EXPECT_EQ(closed, files);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(reader.drain([](const InotifyEvent&) {}), 0u);
  close(fd);
}

}  // namespace
}  // namespace sorv
