// Uploads over HTTPS to the reference site: certificate checks, one kept connection for many
// photos, proxies and the upload-rate cap.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "platform/Notifications.h"
#include "platform/http/UploadBucket.h"
#include "platform/http/UploadRate.h"
#include "tests/support/ProxyProcess.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TestCertificates.h"
#include "tests/upload/UploadTestEnv.h"
#include "upload/HttpController.h"

namespace sorv::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

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
      {"authority file is a folder", site, dir.path(), "cannot be read"},
      // Nothing would ever write into it: a reader that waits for one waits for ever.
      {"authority file is a FIFO", site, dir.sub("ca-fifo"), "cannot be read"},
  };
  ASSERT_EQ(::mkfifo(dir.sub("ca-fifo").c_str(), 0600), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir store;
    SiteProcess server(store.path(), tls(c.cert));
    ASSERT_TRUE(server.ok());
    setPref("prefVyrURL", Value(server.url()));
    ScopedVariable ca(kCaFileVariable, c.caFile);
    // Should the FIFO be waited on, a writer that comes and goes after 10 s ends the wait, so
    // that the test fails on the time instead of hanging.
    std::atomic<bool> finished{false};
    std::thread rescue([&] {
      for (int i = 0; i < 100 && !finished; ++i) std::this_thread::sleep_for(100ms);
      while (!finished) {
        int fd = ::open(dir.sub("ca-fifo").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        std::this_thread::sleep_for(100ms);
      }
    });
    std::string outcome;
    auto start = std::chrono::steady_clock::now();
    Dict done = upload("a.jpg", &outcome);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    finished = true;
    rescue.join();
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
  ScopedVariable ca(kCaFileVariable, authority.caFile());
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

// An answer of the proxy is never the site's: a refusal of any kind (a refused CONNECT, a 407
// asking for the proxy's password, over https:// or http://) and a proxy that is not there are
// transport failures that keep the photo, and the text says it was the proxy.
TEST_F(NetworkTest, UploadsThroughAProxyAndAProxyThatRefusesKeepsThePhoto) {
  ScopedVariable ca(kCaFileVariable, authority.caFile());
  const struct {
    const char* what;
    bool https;
    const char* config;  // nullptr: nothing listens on the proxy's port
    const char* says;    // in the error text; nullptr: the upload succeeds
  } cases[] = {
      {"allowing", true, "", nullptr},
      {"allowing http://", false, "", nullptr},
      {"refusing the site's port", true, "ConnectPort 1\n",
       "The proxy refused the connection to 127.0.0.1 (HTTP 403 Forbidden). Nothing was sent."},
      {"asking for a password", true, "BasicAuth kiosk secret\n",
       "The proxy refused the connection to 127.0.0.1 (HTTP 407 Proxy Authentication Required). "
       "Nothing was sent."},
      {"asking for a password, http://", false, "BasicAuth kiosk secret\n",
       "The proxy refused the upload (HTTP 407 Proxy Authentication Required). Nothing was sent."},
      {"closed port", true, nullptr, "Failed to connect to the proxy 127.0.0.1 port 1 "},
      {"closed port, http://", false, nullptr, "Failed to connect to the proxy 127.0.0.1 port 1 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir folder;
    SiteProcess server(folder.sub("store"), c.https ? tls(site) : std::vector<std::string>{});
    ASSERT_TRUE(server.ok());
    setPref("prefVyrURL", Value(server.url()));
    std::optional<ProxyProcess> proxy;
    if (c.config) {
      proxy.emplace(folder.path(), c.config);
      ASSERT_TRUE(proxy->listening());
    }
    const std::string proxyUrl = proxy ? proxy->url() : "http://127.0.0.1:1";
    ScopedVariable https("https_proxy", c.https ? proxyUrl : "");
    ScopedVariable http("http_proxy", c.https ? "" : proxyUrl);
    ScopedVariable none("no_proxy", "");
    std::string outcome;
    Dict done = upload(c.says ? "refused.jpg" : "proxied.jpg", &outcome);
    if (proxy) {
      EXPECT_NE(proxy->log().find(c.https ? "CONNECT" : "POST"), std::string::npos);
    }
    EXPECT_EQ(linesOf(folder.sub("store/.requests.log")).size(), c.says ? 0u : 1u);
    if (!c.says) {
      EXPECT_EQ(outcome, kUploadSuccessNotification);
      continue;
    }
    EXPECT_EQ(outcome, kUploadFailNotification);
    EXPECT_EQ(dictGet(done, kHttpStatusCode), nullptr);  // a paced retry, not the problem folder
    const Dict* error = dictGetDict(done, kHttpError);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(dictGetString(*error, "localizedDescription")->find(c.says), std::string::npos)
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
  ScopedVariable bad(kUploadRateVariable, "lots");
  std::string err;
  EXPECT_EQ(uploadRateFromEnvironment(&err).capAt(0), 0u);
  EXPECT_FALSE(err.empty());
}

// One bucket of bytes for every capped upload: it holds one second of the rate, credits the
// time between uploads up to that, and a long upload or a run of small ones keeps to the rate.
TEST(UploadRateTest, TheBucketIsOneSecondOfTheRateSharedByEveryUpload) {
  const struct {
    double at;
    std::uint64_t rate, want, least, taken;
    double wait;
    std::uint64_t giveBack = 0;
  } steps[] = {
      {0, 1000, 400, 100, 400, 0},        // it starts full
      {0, 1000, 800, 100, 600, 0},        // what is left
      {0, 1000, 100, 100, 0, 0.1},        // empty: the wait for the least
      {0.05, 1000, 100, 100, 0, 0.05},    // half of it there
      {0.1, 1000, 300, 100, 100, 0, 60},  // 60 bytes not sent go back
      {0.1, 1000, 100, 1, 60, 0},
      {5.1, 1000, 5000, 1, 1000, 0},    // five idle seconds hold one second
      {5.2, 1000, 500, 100, 100, 0},    // the time between uploads counts
      {5.3, 100, 500, 50, 100, 0},      // a lower rate: what it holds is cut to one second
      {5.3, 10000, 500, 1, 0, 0.0001},  // a higher rate gives nothing at once
      {5.4, 10, 500, 100, 10, 0},       // the least is at most one second of the rate
      {5.4, 10, 500, 100, 0, 1.0},
  };
  double now = 0;
  UploadBucket bucket([&] { return now; });
  for (const auto& s : steps) {
    SCOPED_TRACE(s.at);
    now = s.at;
    double wait = -1;
    EXPECT_EQ(bucket.take(s.rate, s.want, s.least, &wait), s.taken);
    EXPECT_NEAR(wait, s.wait, 1e-6);
    bucket.giveBack(s.giveBack);
  }
  // Uploads drawn one after another, with a gap between them, against the time their bytes
  // take at the rate.
  const struct {
    int uploads;
    std::uint64_t bytes;
    double gap, endsAt;
  } runs[] = {
      {1, 10000, 0, 9},      // one long upload: the first second at once, then the rate
      {1000, 50, 0.03, 49},  // small photos: the gaps are used, not added (50 s at the rate)
      {1000, 50, 0.06, 60},  // gaps longer than the bytes' time: the gaps set the pace
  };
  for (const auto& r : runs) {
    now = 1000;
    UploadBucket fresh([&] { return now; });
    for (int u = 0; u < r.uploads; ++u) {
      for (std::uint64_t left = r.bytes; left > 0;) {
        double wait = 0;
        std::uint64_t least = std::min<std::uint64_t>(left, 100);
        std::uint64_t got = fresh.take(1000, left, least, &wait);
        left -= got;
        now += got ? 0 : wait;
      }
      if (u + 1 < r.uploads) now += r.gap;
    }
    EXPECT_NEAR(now - 1000, r.endsAt, 0.1) << r.uploads << " uploads of " << r.bytes;
  }
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
  ScopedVariable ca(kCaFileVariable, authority.caFile());
  ScopedVariable rate(kUploadRateVariable, "100k");
  SiteProcess server(dir.sub("store"), tls(site));
  ASSERT_TRUE(server.ok());
  setPref("prefVyrURL", Value(server.url()));
  NotificationRecorder rec;
  HttpController controller;
  auto start = std::chrono::steady_clock::now();
  controller.doRunHttpUploaderWithInfo(makeItem("big.jpg", std::string(160 * 1024, 'x')));
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(rec.outcome(), kUploadSuccessNotification);
  EXPECT_GE(took, 0.5);  // 160 KiB at 100 KiB/s, the first second's worth at once
}

}  // namespace
}  // namespace sorv::test
