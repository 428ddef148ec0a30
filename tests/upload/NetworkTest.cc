// Uploads over HTTPS to the reference site: certificate checks, one kept connection for many
// photos, proxies and the upload-rate cap.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "platform/Notifications.h"
#include "platform/http/UploadRate.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TestCertificates.h"
#include "tests/upload/UploadTestEnv.h"
#include "upload/HttpController.h"

namespace sorv::test {
namespace {

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// tinyproxy on a loopback port, in the foreground, with extra configuration lines.
class ProxyProcess {
 public:
  ProxyProcess(const std::string& folder, const std::string& extraConfig) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::close(fd);
    log_ = folder + "/tinyproxy.log";
    std::string conf = folder + "/tinyproxy.conf";
    writeFile(conf, "Port " + std::to_string(port_) + "\nListen 127.0.0.1\nTimeout 30\n" +
                        "LogFile \"" + log_ + "\"\nLogLevel Connect\nMaxClients 10\n" +
                        extraConfig);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execlp("tinyproxy", "tinyproxy", "-d", "-c", conf.c_str(), nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !listening(); ++i) ::usleep(20000);
  }
  ~ProxyProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  bool listening() const {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string log() const { return readFile(log_); }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_;
};

class NetworkTest : public UploadTest {
 protected:
  void SetUp() override {
    UploadTest::SetUp();
    ASSERT_TRUE(authority.ok());
    site = authority.issue("site", {"127.0.0.1", "localhost"});
    ASSERT_FALSE(site.cert.empty());
  }
  std::vector<std::string> tls(const SiteCertificate& c) {
    return {"--tls-cert", c.cert, "--tls-key", c.key};
  }
  Dict upload(const std::string& name, std::string* outcome = nullptr) {
    NotificationRecorder rec;
    HttpController controller;
    controller.doRunHttpUploaderWithInfo(makeItem(name, "JPEG " + name));
    if (outcome) *outcome = rec.outcome();
    return rec.doneInfo();
  }
  // POSTs the site logged, and the connections they came on.
  std::size_t posts() { return linesOf(dir.sub("store/.requests.log")).size(); }
  std::size_t connections() {
    std::set<std::string> ports;
    for (const auto& line : linesOf(dir.sub("store/.connections.log")))
      ports.insert(line.substr(0, line.find('\t')));
    return ports.size();
  }

  TestAuthority authority{dir.path(), "kiosk"};
  SiteCertificate site;
};

TEST_F(NetworkTest, CertificateIsVerifiedAndABadOneSendsNothing) {
  TestAuthority stranger(dir.path(), "stranger");
  const struct {
    const char* what;
    SiteCertificate cert;
    std::string caFile;
    const char* says;  // in the error text; nullptr: the upload succeeds
  } cases[] = {
      {"trusted", site, authority.caFile(), nullptr},
      {"wrong name", authority.issue("other", {"photos.example.com"}), authority.caFile(),
       "made out for another name than 127.0.0.1"},
      {"expired", authority.issue("old", {"127.0.0.1"}, -86400 * 10, -86400), authority.caFile(),
       "has expired"},
      {"unknown authority", stranger.issue("strange", {"127.0.0.1"}), authority.caFile(),
       "authority this kiosk does not trust"},
      {"system trust store", site, "", "authority this kiosk does not trust"},
      {"unreadable authority file", site, dir.sub("missing-ca.pem"), "cannot be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir store;
    SiteProcess server(store.path(), tls(c.cert));
    ASSERT_TRUE(server.ok());
    setPref("prefVyrURL", Value(server.url()));
    ScopedEnv ca(kCaFileVariable, c.caFile);
    std::string outcome;
    Dict done = upload("a.jpg", &outcome);
    const Dict* error = dictGetDict(done, kHttpError);
    if (!c.says) {
      EXPECT_EQ(outcome, kUploadSuccessNotification);
      EXPECT_EQ(linesOf(store.sub(".requests.log")).size(), 1u);
      continue;
    }
    EXPECT_EQ(outcome, kUploadFailNotification);
    ASSERT_NE(error, nullptr);
    std::string text = *dictGetString(*error, "localizedDescription");
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    EXPECT_NE(text.find("Nothing was sent."), std::string::npos) << text;
    EXPECT_EQ(dictGet(done, kHttpStatusCode), nullptr);
    // Not a byte of the form reached the site's request handling.
    EXPECT_FALSE(std::filesystem::exists(store.sub(".connections.log")));
  }
}

// Consecutive photos share one connection while the site keeps it; a connection the site
// closed is replaced before a photo goes out on it, and a photo is never sent twice.
TEST_F(NetworkTest, KeptConnectionIsReplacedWithoutFailingOrRepeatingAPhoto) {
  ScopedEnv ca(kCaFileVariable, authority.caFile());
  const struct {
    const char* what;
    std::vector<std::string> siteArgs;
    std::vector<const char*> photos;
    double secondsBetween;
    std::size_t connections;
  } cases[] = {
      {"kept open", {}, {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}, 0, 1},
      {"closed after every 2 requests",
       {"--keep-alive-requests", "2"},
       {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"},
       0,
       3},
      {"closed when idle for 1 s",
       {"--keep-alive-seconds", "1"},
       {"a.jpg", "b.jpg", "c.jpg"},
       2,
       3},
      // The site takes the photo and closes without an answer: a failure, sent once.
      {"dropped without an answer",
       {"--fault", "drop", "--fault-only", "DROP"},
       {"a.jpg", "DROP.jpg", "b.jpg"},
       0,
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir.sub("store"));
    std::vector<std::string> args = tls(site);
    args.insert(args.end(), c.siteArgs.begin(), c.siteArgs.end());
    SiteProcess server(dir.sub("store"), args);
    ASSERT_TRUE(server.ok());
    setPref("prefVyrURL", Value(server.url()));
    for (const char* photo : c.photos) {
      std::string outcome;
      upload(photo, &outcome);
      bool dropped = std::string(photo) == "DROP.jpg";
      EXPECT_EQ(outcome, dropped ? kUploadFailNotification : kUploadSuccessNotification) << photo;
      std::this_thread::sleep_for(std::chrono::duration<double>(c.secondsBetween));
    }
    EXPECT_EQ(posts(), c.photos.size());
    EXPECT_EQ(connections(), c.connections);
  }
}

TEST_F(NetworkTest, UploadsThroughAProxyAndAProxyThatRefusesKeepsThePhoto) {
  ScopedEnv ca(kCaFileVariable, authority.caFile());
  SiteProcess server(dir.sub("store"), tls(site));
  ASSERT_TRUE(server.ok());
  setPref("prefVyrURL", Value(server.url()));
  const struct {
    const char* what;
    const char* config;
    bool stored;
  } cases[] = {
      {"allowing", "", true},
      {"refusing the site's port", "ConnectPort 1\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir folder;
    ProxyProcess proxy(folder.path(), c.config);
    ASSERT_TRUE(proxy.listening());
    ScopedEnv https("https_proxy", proxy.url());
    ScopedEnv none("no_proxy", "");
    std::size_t before = posts();
    std::string outcome;
    Dict done = upload(c.stored ? "proxied.jpg" : "refused.jpg", &outcome);
    EXPECT_NE(proxy.log().find("CONNECT"), std::string::npos) << proxy.log();
    EXPECT_EQ(posts(), before + (c.stored ? 1 : 0));
    if (c.stored) {
      EXPECT_EQ(outcome, kUploadSuccessNotification);
      continue;
    }
    EXPECT_EQ(outcome, kUploadFailNotification);
    EXPECT_EQ(dictGet(done, kHttpStatusCode), nullptr);  // a paced retry, not the problem folder
    const Dict* error = dictGetDict(done, kHttpError);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(dictGetString(*error, "localizedDescription")->find("The proxy refused"),
              std::string::npos)
        << *dictGetString(*error, "localizedDescription");
  }
}

TEST(UploadRateTest, RatesAndTimetables) {
  const struct {
    const char* text;
    bool valid;
    std::vector<std::pair<int, std::uint64_t>> capAt;  // minute of the day, bytes per second
  } cases[] = {
      {"", true, {{0, 0}, {720, 0}}},
      {"off", true, {{600, 0}}},
      {"100000", true, {{0, 100000}}},
      {"512k", true, {{0, 512 * 1024}}},
      {"1.5K", true, {{0, 1536}}},
      {"2M", true, {{1439, 2 * 1024 * 1024}}},
      {" 08:00,512k 18:00,off ",
       true,
       {{0, 0}, {479, 0}, {480, 512 * 1024}, {1079, 512 * 1024}, {1080, 0}}},
      {"08:00,1M 12:30,256k", true, {{0, 256 * 1024}, {480, 1024 * 1024}, {750, 256 * 1024}}},
      {"fast", false, {}},
      {"0", false, {}},
      {"-5k", false, {}},
      {"5x", false, {}},
      {"18:00,off 08:00,512k", false, {}},
      {"25:00,1M", false, {}},
      {"8:00,1M", false, {}},
      {"08:00", false, {}},
      {"08:00,1M,2M", false, {}},
      {"08:00,", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string err;
    auto schedule = UploadRateSchedule::parse(c.text, &err);
    ASSERT_EQ(schedule.has_value(), c.valid) << err;
    if (!c.valid) {
      EXPECT_FALSE(err.empty());
      continue;
    }
    for (const auto& [minute, cap] : c.capAt) {
      EXPECT_EQ(schedule->capAt(minute), cap) << minute;
    }
  }
  ScopedEnv bad(kUploadRateVariable, "lots");
  std::string err;
  EXPECT_EQ(uploadRateFromEnvironment(&err).capAt(0), 0u);
  EXPECT_FALSE(err.empty());
}

TEST(SiteAddressTest, PasswordInClearOnlyOverHttpToAnotherHost) {
  const std::pair<const char*, bool> cases[] = {
      {"http://photos.example.com/upload", true},   {"HTTP://10.0.0.5:8080/u", true},
      {"https://photos.example.com/upload", false}, {"http://127.0.0.1:8080/upload", false},
      {"http://localhost/upload", false},           {"http://[::1]:80/upload", false},
  };
  for (const auto& [url, clear] : cases) {
    EXPECT_EQ(sendsInClearToAnotherHost(url), clear) << url;
  }
}

// The cap slows the body down; only a lower bound is checked, which a slow machine cannot break.
TEST_F(NetworkTest, UploadRateCapSlowsTheBody) {
  ScopedEnv ca(kCaFileVariable, authority.caFile());
  ScopedEnv rate(kUploadRateVariable, "100k");
  SiteProcess server(dir.sub("store"), tls(site));
  ASSERT_TRUE(server.ok());
  setPref("prefVyrURL", Value(server.url()));
  NotificationRecorder rec;
  HttpController controller;
  auto start = std::chrono::steady_clock::now();
  controller.doRunHttpUploaderWithInfo(makeItem("big.jpg", std::string(160 * 1024, 'x')));
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(rec.outcome(), kUploadSuccessNotification);
  EXPECT_GE(took, 1.3);  // 160 KiB at 100 KiB/s
}

}  // namespace
}  // namespace sorv::test
