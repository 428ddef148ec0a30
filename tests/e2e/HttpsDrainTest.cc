// The agent against the reference site over HTTPS with a private certificate authority: a
// trusted site gets the photos on one connection; a site whose certificate names another host
// gets nothing, and the photos stay whole in the source while the status line says why.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

namespace sorv::test {
namespace {

TEST(EndToEnd, HttpsDrainsOnOneConnectionAndABadCertificateKeepsThePhotos) {
  const struct {
    const char* what;
    std::vector<std::string> hosts;  // the site certificate's names
  } cases[] = {{"trusted", {"127.0.0.1", "localhost"}}, {"wrong name", {"photos.example.com"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bool trusted = c.hosts.front() == "127.0.0.1";
    TempDir dir;
    TestAuthority authority(dir.path());
    SiteCertificate cert = authority.issue("site", c.hosts);
    ASSERT_FALSE(cert.cert.empty());
    std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
    std::filesystem::create_directories(mirror);
    std::map<std::string, std::string> photos;
    for (const char* name : {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg"})
      photos[std::string("Fair/") + name] =
          writePhoto(src + "/Fair/" + name, false, 32, 24, Dict{{"QM_kioskStation", "K1"}});

    SiteProcess site(dir.sub("store"), {"--tls-cert", cert.cert, "--tls-key", cert.key});
    ASSERT_TRUE(site.ok());
    std::string agent = installAgentBundle(dir.path());
    ASSERT_FALSE(agent.empty());
    ASSERT_TRUE(writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, site.url()));
    std::string console = dir.sub("console.txt");
    AgentProcess run(agent, src, dir.sub("defaults.plist"), dir.sub("logs"), console,
                     {"SORV_CA_FILE=" + authority.caFile()});
    if (trusted) {
      ASSERT_TRUE(waitForText(console, "Status: Waiting For New Images...", 30))
          << readFile(console);
      EXPECT_EQ(filesUnder(mirror), photos);
      std::ifstream log(dir.sub("store/.connections.log"));
      std::set<std::string> ports;
      for (std::string port; std::getline(log, port);) ports.insert(port);
      EXPECT_EQ(ports.size(), 1u);
    } else {
      ASSERT_TRUE(waitForText(console,
                              "Status (error): No secure connection to 127.0.0.1: the site's "
                              "certificate is made out for another name than 127.0.0.1",
                              30))
          << readFile(console);
      std::this_thread::sleep_for(std::chrono::seconds(2));  // a paced retry or two
      EXPECT_EQ(filesUnder(src), photos);
      EXPECT_TRUE(filesUnder(mirror).empty());
      EXPECT_FALSE(std::filesystem::exists(dir.sub("store/.connections.log")));
    }
    EXPECT_EQ(quitBySigterm(run, console), "");
  }
}

}  // namespace
}  // namespace sorv::test
