// The agent as the kiosk runs it: launched headless with the source folder, it drains the
// folder into the site and the mirror, and quits cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Plist.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

struct Upload {
  std::vector<std::string> names;  // every part's name in body order
  std::map<std::string, std::string> fields;
  std::map<std::string, std::string> files;  // part name -> stored bytes
  std::map<std::string, std::string> fileNames;
};

// What the site stored, by the uploaded image's file name.
std::map<std::string, Upload> storedUploads(const std::string& store) {
  std::map<std::string, Upload> uploads;
  for (const auto& entry : std::filesystem::directory_iterator(store)) {
    std::string folder = entry.path().string();
    if (entry.path().filename().string()[0] == '.') continue;
    auto parsed = plist::parseFile(folder + "/fields.plist");
    const Dict* d = parsed ? parsed->asDict() : nullptr;
    auto parts = d && d->count("parts") ? d->at("parts").asArray() : nullptr;
    if (!parts) {
      ADD_FAILURE() << "no parts recorded in " << folder;
      continue;
    }
    Upload u;
    for (const Value& p : *parts) {
      const Dict* part = p.asDict();
      if (!part || !part->count("name")) continue;
      std::string name = *part->at("name").asString();
      u.names.push_back(name);
      if (part->count("stored")) {
        u.files[name] = readFile(folder + "/" + *part->at("stored").asString());
        u.fileNames[name] = *part->at("filename").asString();
      } else if (part->count("value") && part->at("value").asString()) {
        u.fields[name] = *part->at("value").asString();
      }
    }
    uploads[u.fileNames["imgfile"]] = u;
  }
  return uploads;
}

TEST(EndToEnd, DrainsSubfoldersWithAMovieThenQuitsOnSigterm) {
  TempDir dir;
  std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  std::filesystem::create_directories(mirror);
  struct Item {
    const char* folder;
    const char* name;
    const char* movie;
  } items[] = {{"Fair/Booth 1", "IMG_1.jpg", "IMG_1.mov"},
               {"Fair/Booth 1", "IMG_2.jpg", nullptr},
               {"Fair/Booth 2", "IMG_3.png", nullptr},
               {"Gala", "IMG_4.jpg", nullptr}};
  std::map<std::string, std::string> expected;
  for (const Item& item : items) {
    Dict meta{{"QM_kioskStation", " K1 "}, {"OriginalPath", std::string("/orig/") + item.name}};
    std::string rel = std::string(item.folder) + "/" + item.name;
    if (item.movie) {
      meta["QM_muxedMovieName"] = item.movie;
      std::string movie = std::string(item.folder) + "/" + item.movie;
      expected[movie] = "a movie of the sitting";
      ASSERT_TRUE(writeFile(src + "/" + movie, expected[movie]));
    }
    expected[rel] = writePhoto(src + "/" + rel, rel.ends_with(".png"), 120, 90, meta);
    ASSERT_FALSE(expected[rel].empty());
  }

  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  std::string agent = installAgentBundle(dir.path());
  ASSERT_FALSE(agent.empty());
  ASSERT_TRUE(writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, site.url()));
  std::string console = dir.sub("console.txt");
  AgentProcess run(agent, src, dir.sub("defaults.plist"), dir.sub("logs"), console);
  ASSERT_TRUE(waitForText(console, "Status: Waiting For New Images...", 30)) << readFile(console);

  EXPECT_EQ(filesUnder(mirror), expected);
  EXPECT_TRUE(filesUnder(src).empty());
  auto uploads = storedUploads(dir.sub("store"));
  ASSERT_EQ(uploads.size(), 4u);
  for (const Item& item : items) {
    SCOPED_TRACE(item.name);
    const Upload& u = uploads[item.name];
    std::vector<std::string> order = {"username",    "password", "event",      "client",
                                      "capturetime", "metadata", "fuseaction", "localfilelocation",
                                      "Submit",      "imgfile"};
    if (item.movie) order.push_back("vidfile");
    EXPECT_EQ(u.names, order);
    EXPECT_EQ(u.fields.at("username"), "kiosk");
    EXPECT_EQ(u.fields.at("password"), "secret");
    EXPECT_EQ(u.fields.at("event"), "Fair 2026_K1");
    std::string folder = item.folder;
    EXPECT_EQ(u.fields.at("client"), folder.substr(folder.rfind('/') + 1));
    if (std::string(item.name).ends_with(".jpg")) {
      EXPECT_EQ(u.fields.at("capturetime"), "2026-05-01 10:20:30");
    }
    EXPECT_EQ(u.fields.at("fuseaction"), "upload.upload");
    EXPECT_EQ(u.fields.at("localfilelocation"), std::string("/orig/") + item.name);
    EXPECT_EQ(u.fields.at("Submit"), "Upload");
    EXPECT_TRUE(u.files.at("imgfile") == expected[folder + "/" + item.name]);
    if (item.movie) {
      EXPECT_EQ(u.fileNames.at("vidfile"), item.movie);
      EXPECT_EQ(u.files.at("vidfile"), "a movie of the sitting");
    }
  }

  run.signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(run.wait(10, &status));
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(readFile(agentMessageLogPath(dir.sub("logs"))).find("applicationWillTerminate - DONE!"),
            std::string::npos);
  EXPECT_EQ(readFile(console).find("AddressSanitizer"), std::string::npos);
}

// The real agent, on the real clock, beside a site that always refuses one photo: the others
// go, the refused one is paced and held back, and a SIGTERM during its wait ends the agent.
TEST(EndToEnd, AnAlwaysRefusedPhotoIsPacedWhileTheOthersGo) {
  KioskFolders k;
  ASSERT_TRUE(k.addPhotos({"BAD.jpg", "IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg"}));
  SiteProcess site(k.dir.sub("store"), {"--fault", "fail", "--fault-only", "BAD"});
  ASSERT_TRUE(site.ok());
  auto run = k.start(site.url());
  ASSERT_TRUE(run);
  ASSERT_TRUE(waitForText(k.console, "Holding Back [Fair/BAD.jpg]", 30)) << readFile(k.console);
  ASSERT_TRUE(waitForText(k.console, "Status: Waiting For New Images...", 30));
  std::this_thread::sleep_for(std::chrono::seconds(6));  // its 4 s hold ends, then 8 s
  EXPECT_EQ(filesUnder(k.mirror).size(), 3u);
  EXPECT_TRUE(std::filesystem::exists(k.src + "/Fair/BAD.jpg"));
  std::ifstream log(k.dir.sub("store/.requests.log"));
  int posts = 0;
  for (std::string line; std::getline(log, line);)
    posts += line.find("BAD.jpg") != std::string::npos;
  EXPECT_EQ(posts, 4);  // at 0, 1 and 3 s, then once its first hold is over

  EXPECT_EQ(quitBySigterm(*run, k.console, 5), "");
}

}  // namespace
}  // namespace sorv::test
