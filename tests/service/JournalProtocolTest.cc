// The stand-in journal reads journald's protocols as journald does: what a libsystemd client
// and a service manager's stream send arrives as the same fields.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Datagram.h"
#include "tests/service/JournalProtocol.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace sorv::test::journal {
namespace {

std::string binaryField(const std::string& name, const std::string& value) {
  std::string out = name + "\n";
  std::uint64_t n = value.size();
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
  return out + value + "\n";
}

TEST(JournalProtocol, NativeDatagramsGiveTheirFields) {
  const std::string multi = "Upload failed:\n  status 500\n  retry in 2 s";
  struct Case {
    const char* what;
    std::string data;
    std::vector<Entry> want;
  } cases[] = {
      {"plain fields",
       "MESSAGE=hello\nPRIORITY=6\nSYSLOG_IDENTIFIER=sorv-uploader\n",
       {{{"MESSAGE", "hello"}, {"PRIORITY", "6"}, {"SYSLOG_IDENTIFIER", "sorv-uploader"}}}},
      {"a multi-line value in the binary form",
       binaryField("MESSAGE", multi) + "PRIORITY=3\nSORV_ITEM=Fair/IMG_3.jpg\n",
       {{{"MESSAGE", multi}, {"PRIORITY", "3"}, {"SORV_ITEM", "Fair/IMG_3.jpg"}}}},
      {"an empty value and '=' in a value", "A=\nB=x=y\n", {{{"A", ""}, {"B", "x=y"}}}},
      {"a repeated field", "TAG=a\nTAG=b\n", {{{"TAG", "a"}, {"TAG", "b"}}}},
      {"an empty line separates entries",
       "MESSAGE=one\n\nMESSAGE=two\n",
       {{{"MESSAGE", "one"}}, {{"MESSAGE", "two"}}}},
      {"trusted and invalid names are dropped",
       "_PID=1\nlower=x\n9X=y\nMESSAGE=m\n",
       {{{"MESSAGE", "m"}}}},
      {"a last field without its newline is dropped",
       "MESSAGE=m\nPRIORITY=6",
       {{{"MESSAGE", "m"}}}},
      {"a binary length past the end stops the parse",
       "MESSAGE=m\nDATA\n" + std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8) + "x\n",
       {{{"MESSAGE", "m"}}}},
      {"a binary value not closed by a newline stops the parse",
       "MESSAGE=m\n" + binaryField("DATA", "abc").substr(0, 15) + "X",
       {{{"MESSAGE", "m"}}}},
      {"nothing", "", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parseNative(c.data), c.want) << c.what;
}

TEST(JournalProtocol, StreamLinesCarryTheHeadersPriorityOrTheirPrefix) {
  const std::string header = "sorv-uploader\nsorv-uploader.service\n6\n1\n0\n0\n0\n";
  struct Case {
    const char* what;
    std::vector<std::string> chunks;  // as read from the connection
    std::vector<Entry> want;
  } cases[] = {
      {"lines with and without a prefix",
       {header + "<3>No connection\nplain line\n<4>careful\n"},
       {{{"MESSAGE", "No connection"}, {"PRIORITY", "3"}, {"SYSLOG_IDENTIFIER", "sorv-uploader"}},
        {{"MESSAGE", "plain line"}, {"PRIORITY", "6"}, {"SYSLOG_IDENTIFIER", "sorv-uploader"}},
        {{"MESSAGE", "careful"}, {"PRIORITY", "4"}, {"SYSLOG_IDENTIFIER", "sorv-uploader"}}}},
      {"a line split across reads, the last one without its newline",
       {header.substr(0, 5), header.substr(5) + "<7>deb", "ug\n<6>end"},
       {{{"MESSAGE", "debug"}, {"PRIORITY", "7"}, {"SYSLOG_IDENTIFIER", "sorv-uploader"}},
        {{"MESSAGE", "end"}, {"PRIORITY", "6"}, {"SYSLOG_IDENTIFIER", "sorv-uploader"}}}},
      {"a facility in the header's priority; '<9>' is no prefix",
       {"sh\n\n30\n1\n0\n0\n0\n<9>text\n"},
       {{{"MESSAGE", "<9>text"},
         {"PRIORITY", "6"},
         {"SYSLOG_FACILITY", "3"},
         {"SYSLOG_IDENTIFIER", "sh"}}}},
      {"no prefixes asked for: '<3>' is text; no identifier",
       {"\nx.service\n5\n0\n0\n0\n0\n<3>kept\n"},
       {{{"MESSAGE", "<3>kept"}, {"PRIORITY", "5"}}}},
      {"an invalid priority in the header drops the connection",
       {"id\nunit\n6x\n1\n0\n0\n0\nlost\n"},
       {}},
      {"an invalid boolean in the header drops the connection",
       {"id\nunit\n6\nmaybe\n0\n0\n0\nlost\n"},
       {}},
  };
  for (const Case& c : cases) {
    StreamParser parser;
    std::vector<Entry> got;
    for (const std::string& chunk : c.chunks)
      for (Entry& e : parser.feed(chunk)) got.push_back(std::move(e));
    for (Entry& e : parser.finish()) got.push_back(std::move(e));
    EXPECT_EQ(got, c.want) << c.what;
  }
}

TEST(JournalProtocol, LongStreamLinesAreCutAtTheLineLimit) {
  StreamParser parser;
  parser.feed("id\n\n6\n0\n0\n0\n0\n");
  auto entries = parser.feed(std::string(kMaxLine + 10, 'a') + "\n");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0][0].second.size(), kMaxLine);
  EXPECT_EQ(entries[1][0].second.size(), 10u);
}

TEST(JournalProtocol, JsonAsJournalctlWritesIt) {
  struct Case {
    Entry entry;
    const char* want;
  } cases[] = {
      {{{"MESSAGE", "two\nlines \"quoted\" \\ \x01"}, {"PRIORITY", "3"}},
       R"({"MESSAGE":"two\nlines \"quoted\" \\ \u0001","PRIORITY":"3"})"},
      {{{"TAG", "a"}, {"MESSAGE", "m"}, {"TAG", "b"}}, R"({"TAG":["a","b"],"MESSAGE":"m"})"},
      {{{"DATA", "\xff\x01"}}, R"({"DATA":[255,1]})"},
      {{{"MESSAGE", "Müller ✓"}}, R"({"MESSAGE":"Müller ✓"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(toJson(c.entry), c.want);
}

int connectTo(const std::string& path, int type) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends an entry as libsystemd does when it is too large for a datagram: a sealed memfd
// passed with SCM_RIGHTS and no payload.
bool sendAsMemfd(int sock, const std::string& entry) {
  int memfd = sealedMemfd(entry);
  UnixAddress peer;
  peer.length = sizeof peer.addr;
  bool sent = memfd >= 0 &&
              ::getpeername(sock, reinterpret_cast<sockaddr*>(&peer.addr), &peer.length) == 0 &&
              sendDatagram(sock, peer, {}, memfd) == DatagramResult::Sent;
  if (memfd >= 0) ::close(memfd);
  return sent;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(JournalStandin, WritesWhatItsSocketsReceiveAsJsonLines) {
  TempDir dir(TempDir::kShortPath);
  const std::string sockets = dir.sub("j"), out = dir.sub("out.jsonl"), ready = dir.sub("ready");
  std::vector<std::string> args{
      SORV_JOURNAL_STANDIN, "--dir", sockets, "--out", out, "--ready", ready};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  auto waitUntil = [](auto done) {
    for (int i = 0; i < 200 && !done(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return done();
  };
  EXPECT_TRUE(waitUntil([&] { return ::access(ready.c_str(), F_OK) == 0; }));

  int native = connectTo(sockets + "/socket", SOCK_DGRAM);
  ASSERT_GE(native, 0);
  const std::string datagram = "MESSAGE=one\nPRIORITY=3\nSORV_ITEM=Fair/IMG_1.jpg\n";
  EXPECT_EQ(::send(native, datagram.data(), datagram.size(), 0),
            static_cast<ssize_t>(datagram.size()));
  EXPECT_TRUE(sendAsMemfd(native, binaryField("MESSAGE", "two\nlines") + "PRIORITY=4\n"));
  ::close(native);
  int stream = connectTo(sockets + "/stdout", SOCK_STREAM);
  ASSERT_GE(stream, 0);
  const std::string text = "sorv-uploader\nsorv-uploader.service\n6\n1\n0\n0\n0\n<3>three\nfour";
  EXPECT_EQ(::write(stream, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(stream);

  EXPECT_TRUE(waitUntil([&] { return lines(readFile(out)).size() >= 4; })) << readFile(out);
  ::kill(pid, SIGTERM);
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const std::string self = "\"_PID\":\"" + std::to_string(::getpid()) + "\"";
  const std::string wants[] = {
      R"({"MESSAGE":"one","PRIORITY":"3","SORV_ITEM":"Fair/IMG_1.jpg","_TRANSPORT":"journal",)",
      R"({"MESSAGE":"two\nlines","PRIORITY":"4","_TRANSPORT":"journal",)",
      R"({"MESSAGE":"three","PRIORITY":"3","SYSLOG_IDENTIFIER":"sorv-uploader",)"
      R"("_STREAM_UNIT_ID":"sorv-uploader.service","_TRANSPORT":"stdout",)",
      R"({"MESSAGE":"four","PRIORITY":"6","SYSLOG_IDENTIFIER":"sorv-uploader",)"
      R"("_STREAM_UNIT_ID":"sorv-uploader.service","_TRANSPORT":"stdout",)",
  };
  auto got = lines(readFile(out));
  ASSERT_EQ(got.size(), 4u) << readFile(out);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].rfind(wants[i], 0), 0u) << got[i];
    EXPECT_NE(got[i].find(self), std::string::npos) << got[i];
    EXPECT_NE(got[i].find("\"__REALTIME_TIMESTAMP\":"), std::string::npos) << got[i];
  }
}

}  // namespace
}  // namespace sorv::test::journal
