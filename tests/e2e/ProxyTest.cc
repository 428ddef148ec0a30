// The agent behind an HTTP proxy that asks for a password it was not given: every upload of an
// http:// site is refused by the proxy, so the photos stay whole in the source folder (none goes
// to the problem folder), the site sees nothing, the status line says it was the proxy, and the
// cycle backs off as for a site it cannot reach. Once the proxy lets them through, the backoff's
// next retry drains the folder, each photo sent once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/ProxyProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

TEST(EndToEnd, AProxyThatRefusesKeepsEveryPhotoUntilItLetsThemThrough) {
  TempDir dir;
  const std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  std::filesystem::create_directories(mirror);
  std::filesystem::create_directories(dir.sub("proxy"));
  std::map<std::string, std::string> photos;
  for (const char* name : {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg", "IMG_4.jpg"})
    photos[std::string("Fair/") + name] =
        writePhoto(src + "/Fair/" + name, false, 32, 24, Dict{{"QM_kioskStation", "K1"}});

  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  auto proxy = std::make_unique<ProxyProcess>(dir.sub("proxy"), "BasicAuth kiosk secret\n");
  ASSERT_TRUE(proxy->listening());
  const int port = proxy->port();
  ASSERT_TRUE(writeKioskDefaults(dir.sub("d.plist"), src, mirror, site.url(),
                                 Dict{{sPrefSecondsBetweenScans, 1.0}}));
  const std::string agent = installAgentBundle(dir.path());
  ASSERT_FALSE(agent.empty());
  const std::string console = dir.sub("console.txt");
  AgentProcess run(agent, src, dir.sub("d.plist"), dir.sub("logs"), console,
                   {"http_proxy=" + proxy->url(), "no_proxy="});
  ASSERT_TRUE(run.started());

  ASSERT_TRUE(waitForText(console,
                          "Status (error): The proxy refused the upload (HTTP 407 Proxy "
                          "Authentication Required). Nothing was sent.",
                          30))
      << readFile(console);
  // Two photos in a row that the proxy refused: the whole cycle backs off.
  const std::string messages = agentMessageLogPath(dir.sub("logs"));
  ASSERT_TRUE(waitForText(messages, "The site is failing, not a photo", 30)) << readFile(console);
  EXPECT_EQ(filesUnder(src), photos);
  EXPECT_TRUE(filesUnder(dir.sub("Problem Folder")).empty());
  EXPECT_FALSE(std::filesystem::exists(dir.sub("store/.requests.log")));
  EXPECT_NE(proxy->log().find("POST"), std::string::npos) << proxy->log();

  // The same proxy, now without the password.
  proxy.reset();
  ProxyProcess open(dir.sub("proxy"), "", port);
  ASSERT_TRUE(open.listening());
  ASSERT_TRUE(waitFor([&] { return filesUnder(mirror).size() == photos.size(); }, 60))
      << readFile(console);
  EXPECT_EQ(filesUnder(mirror), photos);
  std::ifstream requests(dir.sub("store/.requests.log"));
  int posts = 0;
  for (std::string line; std::getline(requests, line);) ++posts;
  EXPECT_EQ(posts, 4);  // each photo once
  EXPECT_EQ(quitBySigterm(run, console), "");
}

}  // namespace
}  // namespace sorv::test
