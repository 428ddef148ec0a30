#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/SetupCheck.h"
#include "files/SourceFolderClaim.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/support/FaultInjectionFileSystem.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

namespace sorv {
namespace {

using test::SiteProcess;
using test::TempDir;

// One kiosk's set-up in a folder of its own: the folders made, the settings complete, the
// site address the plain-http site's. A case changes what it is about.
struct Kiosk {
  std::string root, source, mirror;
  std::string httpUrl, httpsUrl, caFile, refusingUrl, silentUrl;
  int refusingPort = 0;
  SetupCheckOptions options;
  std::vector<std::unique_ptr<test::ScopedVariable>> vars;
  std::unique_ptr<SourceFolderClaim> claim;
  test::FaultInjectionFileSystem faults;
  std::unique_ptr<test::ScopedEnv> faultyFiles;

  void set(const char* key, const Value& value) { DefaultsStore::standard().setObject(value, key); }
  void unset(const char* key) { DefaultsStore::standard().removeObject(key); }
  void env(const char* name, const std::optional<std::string>& value) {
    vars.push_back(std::make_unique<test::ScopedVariable>(name, value));
  }
  ~Kiosk() {
    while (!vars.empty()) vars.pop_back();  // the last one set is put back first
  }
};

struct Case {
  const char* name;
  std::function<void(Kiosk&)> arrange;
  std::set<std::string> failing;  // the checks that fail
  std::string text;               // in a failing line, or in a passing one when none fail
};

TEST(SetupCheck, EachCheckPassesOnAGoodSetUpAndFailsOnItsOwnFault) {
  TempDir dir;
  // Loopback sites must be reached directly whatever the machine's proxy settings.
  test::ScopedVariable noProxy("no_proxy", std::nullopt), httpProxy("http_proxy", std::nullopt),
      httpsProxy("https_proxy", std::nullopt), allProxy("ALL_PROXY", std::nullopt),
      caFile("SORV_CA_FILE", std::nullopt);
  test::TestAuthority authority(dir.path(), "kiosk");
  ASSERT_TRUE(authority.ok());
  test::SiteCertificate cert = authority.issue("site", {"127.0.0.1"});
  SiteProcess http(dir.sub("store-http"));
  SiteProcess https(dir.sub("store-https"), {"--tls-cert", cert.cert, "--tls-key", cert.key});
  ASSERT_TRUE(http.ok() && https.ok());
  test::RefusingPort refusing, silent(true);

  const bool root = ::geteuid() == 0;  // root writes into any folder, so some faults cannot be made
  std::vector<Case> cases = {
      {"a good set-up over http to this computer", [](Kiosk&) {}, {}, "answered a HEAD request"},
      {"a good set-up over https with its authority in SORV_CA_FILE",
       [](Kiosk& k) {
         k.set(sPrefVyrURL, k.httpsUrl);
         k.env("SORV_CA_FILE", k.caFile);
       },
       {},
       "(TLS, trusting "},
      {"https to a site whose authority is not trusted",
       [](Kiosk& k) { k.set(sPrefVyrURL, k.httpsUrl); },
       {"site answers"},
       "authority this kiosk does not trust"},
      {"https through a proxy that refuses: the proxy, not the site, is tried",
       [](Kiosk& k) {
         k.set(sPrefVyrURL, k.httpsUrl);
         k.env("SORV_CA_FILE", k.caFile);
         k.env("https_proxy", "http://127.0.0.1:" + std::to_string(k.refusingPort));
       },
       {"site answers"},
       "port " + std::to_string(refusing.port())},
      {"a site that does not answer",
       [](Kiosk& k) { k.set(sPrefVyrURL, k.refusingUrl); },
       {"site answers"},
       "127.0.0.1"},
      {"a plain-http site that takes the connection and never answers",
       [](Kiosk& k) { k.set(sPrefVyrURL, k.silentUrl); },
       {"site answers"},
       "did not answer a HEAD request within 5 seconds"},
      {"http to another computer",
       [](Kiosk& k) {
         k.set(sPrefVyrURL, "http://photos.example.com/upload");
         k.options.probeSite = [](const std::string&, double) { return std::nullopt; };
       },
       {"site address"},
       "unencrypted"},
      {"no password",
       [](Kiosk& k) { k.unset(sUserLoginPassword); },
       {"settings"},
       "userLoginPassword is not set"},
      {"a stored value out of range",
       [](Kiosk& k) { k.set(sPrefSecondsBetweenScans, 0); },
       {"settings"},
       "prefSecondsBetweenScans: 0 is out of range"},
      {"a site address that is not http(s)",
       [](Kiosk& k) { k.set(sPrefVyrURL, "ftp://127.0.0.1/upload"); },
       {"settings", "site address", "site answers"},
       "does not begin with https://"},
      {"the source folder is missing",
       [](Kiosk& k) { std::filesystem::remove_all(k.source); },
       {"source folder", "source folder free"},
       "Fix: make it: mkdir -p '"},
      {"SORV_SOURCE_FOLDER is served instead of the stored folder",
       [](Kiosk& k) {
         k.unset(sPrefLocalSourceUploadFolder);
         std::filesystem::create_directories(k.root + "/Served");
         Preferences::setServedSourceFolder(k.root + "/Served");
       },
       {},
       "Served (SORV_SOURCE_FOLDER, served on every pass)"},
      {"SORV_SOURCE_FOLDER names a folder that is missing",
       [](Kiosk& k) { Preferences::setServedSourceFolder(k.root + "/Gone"); },
       {"source folder", "source folder free"},
       "Gone (SORV_SOURCE_FOLDER) does not exist"},
      {"the mirror folder is missing",
       [](Kiosk& k) { std::filesystem::remove_all(k.mirror); },
       {"mirror folder"},
       "Mirror does not exist"},
      {"the mirror folder inside the source folder",
       [](Kiosk& k) {
         std::filesystem::create_directories(k.source + "/Mirror");
         k.set(sPrefLocalMasterMirrorSiteFolder, k.source + "/Mirror");
       },
       {"mirror folder", "problem folder"},
       "lies inside or holds the source folder"},
      {"the problem folder's name taken by a file",
       [](Kiosk& k) { test::writeFile(k.root + "/Kiosk/Problem Folder", "x"); },
       {"problem folder"},
       "Problem Folder is not a folder"},
      {"the log folder cannot be made",
       [](Kiosk& k) {
         test::writeFile(k.root + "/file", "x");
         k.env("SORV_LOG_DIR", k.root + "/file/logs");
       },
       {"log folder"},
       "(SORV_LOG_DIR) cannot be made"},
      {"the log folder's file system is full",
       [](Kiosk& k) {
         k.faults.failNth(test::FaultInjectionFileSystem::Op::Append, 1, ENOSPC);
         k.faultyFiles = std::make_unique<test::ScopedEnv>(test::EnvParts{.fileSystem = &k.faults});
       },
       {"log folder"},
       "logs (SORV_LOG_DIR) cannot be written: No space left on device"},
      {"another agent serves the source folder",
       [](Kiosk& k) {
         k.claim = std::make_unique<SourceFolderClaim>();
         pid_t holder = 0;
         std::string err;
         ASSERT_EQ(k.claim->claim(k.source, &holder, &err), SourceFolderClaim::Result::Claimed);
       },
       {"source folder free"},
       "is served by process " + std::to_string(::getpid())},
  };
  if (!root) {
    cases.push_back({"a mirror folder this user cannot write to",
                     [](Kiosk& k) { ::chmod(k.mirror.c_str(), 0555); },
                     {"mirror folder"},
                     "Mirror is not writable by this user"});
    cases.push_back({"no problem folder yet, and its parent read-only",
                     [](Kiosk& k) {
                       k.set(sPrefLocalMasterMirrorSiteFolder, k.root + "/Locked/Mirror");
                       std::filesystem::create_directories(k.root + "/Locked/Mirror");
                       ::chmod((k.root + "/Locked").c_str(), 0555);
                     },
                     {"problem folder"},
                     "is not writable by this user"});
  }

  const std::string allChecks[] = {"settings",       "source folder",     "mirror folder",
                                   "problem folder", "site address",      "site answers",
                                   "log folder",     "source folder free"};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Kiosk k;
    k.root = dir.sub("kiosk" + std::to_string(n++));
    k.source = k.root + "/Kiosk/Source";
    k.mirror = k.root + "/Kiosk/Mirror";
    k.httpUrl = http.url();
    k.httpsUrl = https.url();
    k.caFile = authority.caFile();
    k.refusingUrl = refusing.url();
    k.silentUrl = silent.url();
    k.refusingPort = refusing.port();
    k.options.siteTimeoutSeconds = 5;
    std::filesystem::create_directories(k.source);
    std::filesystem::create_directories(k.mirror);
    DefaultsStore::resetStandardForPath(k.root + "/defaults.plist");
    Preferences::setServedSourceFolder(std::nullopt);
    k.env("SORV_LOG_DIR", k.root + "/logs");
    k.set(sUserLoginName, "kiosk07");
    k.set(sUserLoginPassword, "secret");
    k.set(sPrefUserEnteredEventName, "Fair");
    k.set(sPrefLocalSourceUploadFolder, k.source);
    k.set(sPrefLocalMasterMirrorSiteFolder, k.mirror);
    k.set(sPrefVyrURL, k.httpUrl);
    c.arrange(k);

    std::vector<SetupCheckResult> results = runSetupChecks(k.options);
    ASSERT_EQ(results.size(), std::size(allChecks));
    std::set<std::string> failing;
    std::string all, found;
    for (std::size_t i = 0; i < results.size(); ++i) {
      const SetupCheckResult& r = results[i];
      EXPECT_EQ(r.name, allChecks[i]);
      std::string line = setupCheckLine(r);
      all += line + "\n";
      if (!r.passed) {
        failing.insert(r.name);
        EXPECT_TRUE(line.starts_with("FAIL  " + r.name + ": "));
        EXPECT_NE(line.find(". Fix: "), std::string::npos) << line;
      } else {
        EXPECT_TRUE(line.starts_with("PASS  " + r.name + ": "));
      }
      if (r.passed == c.failing.empty() && line.find(c.text) != std::string::npos) found = line;
    }
    EXPECT_EQ(failing, c.failing) << all;
    EXPECT_FALSE(found.empty()) << "no line says \"" << c.text << "\":\n" << all;
    // Nothing reached the sites but connections.
    EXPECT_TRUE(std::filesystem::is_empty(dir.sub("store-http")) ||
                !std::filesystem::exists(dir.sub("store-http")));
    ::chmod((k.root + "/Locked").c_str(), 0755);
    ::chmod(k.mirror.c_str(), 0755);
  }
  Preferences::setServedSourceFolder(std::nullopt);
  DefaultsStore::resetStandardForPath("");
}

// The command takes SORV_SOURCE_FOLDER as the agent does and ends with a summary line.
TEST(SetupCheck, TheCommandServesTheEnvironmentsFolderAndSaysHowManyFailed) {
  TempDir dir;
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  test::ScopedVariable logs("SORV_LOG_DIR", dir.sub("logs"));
  test::ScopedVariable served("SORV_SOURCE_FOLDER", dir.path());
  std::string out;
  {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* f = ::open_memstream(&buf, &len);
    EXPECT_EQ(runSetupCheckCommand(f), 1);
    std::fclose(f);
    out.assign(buf, len);
    std::free(buf);
  }
  EXPECT_NE(out.find("PASS  source folder: " + dir.path() + " (SORV_SOURCE_FOLDER"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("FAIL  settings: userLoginName is not set"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with(" of 8 checks failed.\n")) << out;
  EXPECT_EQ(Preferences::getLocalSourceUploadFolder(), dir.path());
  Preferences::setServedSourceFolder(std::nullopt);
  DefaultsStore::resetStandardForPath("");
}

}  // namespace
}  // namespace sorv
