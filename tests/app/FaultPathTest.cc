// The cycle against a hostile or broken site on loopback, through the real HTTP transport,
// with good photos beside the bad one; time is the fake clock's.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/Plist.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"
#include "tests/support/SiteProcess.h"

namespace sorv::test {
namespace {

bool shownStartingWith(const CycleHarness& h, const std::string& prefix) {
  for (const auto& t : h.view.history(AppField::FTPCallbackStatus))
    if (t.starts_with(prefix)) return true;
  return false;
}

void writeGoodPhotos(const std::string& folder, int n) {
  for (int i = 2; i < 2 + n; ++i)
    ASSERT_TRUE(
        writeJpegWithMeta(folder + "/IMG_" + std::to_string(i) + ".jpg", standardMetaData()));
}

TEST(FaultPath, OneRefusedPhotoIsPacedWhileTheOthersGo) {
  for (const char* fault : {"fail", "malformed", "onechild", "plaintext", "twostatus", "drop"}) {
    SCOPED_TRACE(fault);
    CycleHarness h(true, true);
    SiteProcess site(h.dir.sub("store"), {"--fault", fault, "--fault-only", "BAD"});
    ASSERT_TRUE(site.ok());
    h.setPref(sPrefVyrURL, site.url());
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/BAD.jpg"), standardMetaData()));
    writeGoodPhotos(h.dir.sub("Source/Event"), 4);
    drive(h, 60);
    EXPECT_TRUE(exists(h.dir.sub("Source/Event/BAD.jpg")));
    for (int i = 2; i < 6; ++i)
      EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_" + std::to_string(i) + ".jpg"))) << i;
    int posts = postsFor(h.dir.sub("store"), "BAD.jpg");
    EXPECT_GE(posts, 4);  // still tried again once its wait is over
    EXPECT_LE(posts, 8);
    std::string log = h.messageLog();
    EXPECT_NE(log.find("Holding back"), std::string::npos);
    EXPECT_EQ(log.find("Holding back"), log.rfind("Holding back"));  // said once
    EXPECT_TRUE(shownStartingWith(h, "Holding Back [Event/BAD.jpg] After 3 Failed Tries"));
  }
}

TEST(FaultPath, UploadedPhotoWhoseMirrorIsBlockedIsSentOnceAndEndsInTheProblemFolder) {
  CycleHarness h(true, true);
  SiteProcess site(h.dir.sub("store"));
  ASSERT_TRUE(site.ok());
  h.setPref(sPrefVyrURL, site.url());
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), standardMetaData()));
  ASSERT_TRUE(writeFile(h.dir.sub("Source/Event/IMG_1.mov"), "the sitting's movie"));
  const std::string photo = readFile(h.dir.sub("Source/Event/IMG_1.jpg"));
  ASSERT_TRUE(writeFile(h.dir.sub("Mirror/Event"), "a file where the folder belongs"));
  drive(h, 120, [&] { return !exists(h.dir.sub("Source/Event/IMG_1.jpg")); });
  EXPECT_EQ(postsFor(h.dir.sub("store"), "IMG_1.jpg"), 1);
  EXPECT_EQ(readFile(h.dir.sub("Problem Folder/Event/IMG_1.jpg")), photo);
  EXPECT_EQ(readFile(h.dir.sub("Problem Folder/Event/IMG_1.mov")), "the sitting's movie");
  EXPECT_FALSE(exists(h.dir.sub("Source/Event/IMG_1.mov")));
}

TEST(FaultPath, FormsThatCouldForgeFieldsAreNeverCompleted) {
  const std::string forged =
      "x\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"fuseaction\"\r\n\r\n"
      "upload.evil";
  const struct {
    const char* name;
    Dict meta;
    bool delimiterInBytes;
  } cases[] = {
      {"original path", Dict{{"OriginalPath", forged}}, false},
      {"sitting field", Dict{{"SittingInfoDictionary", Dict{{"firstname", forged}}}}, false},
      {"file bytes", standardMetaData(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CycleHarness h(true, true);
    SiteProcess site(h.dir.sub("store"));
    ASSERT_TRUE(site.ok());
    h.setPref(sPrefVyrURL, site.url());
    const std::string bad = h.dir.sub("Source/Event/BAD.jpg");
    ASSERT_TRUE(writeJpegWithMeta(bad, c.meta));
    if (c.delimiterInBytes) {
      std::ofstream(bad, std::ios::app) << "\r\n--0xKhTmLbOuNdArY--\r\n";
    }
    const std::string bytes = readFile(bad);
    writeGoodPhotos(h.dir.sub("Source/Event"), 1);
    drive(h, 30, [&] { return !exists(bad); });
    EXPECT_EQ(readFile(h.dir.sub("Problem Folder/Event/BAD.jpg")), bytes);
    EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_2.jpg")));
    auto names = storedImageNames(h.dir.sub("store"));
    EXPECT_EQ(names, std::vector<std::string>{"IMG_2.jpg"});
    if (!c.delimiterInBytes) {
      EXPECT_EQ(postsFor(h.dir.sub("store"), "BAD.jpg"), 0);
    }
  }
}

TEST(FaultPath, AMovieNameWithAFolderInItIsNeitherSentNorMoved) {
  CycleHarness h(true, true);
  SiteProcess site(h.dir.sub("store"));
  ASSERT_TRUE(site.ok());
  h.setPref(sPrefVyrURL, site.url());
  ASSERT_TRUE(writeFile(h.dir.sub("private.mov"), "not the kiosk's to send"));
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"),
                                Dict{{"QM_muxedMovieName", "../../private.mov"}}));
  drive(h, 10, [&] { return exists(h.dir.sub("Mirror/Event/IMG_1.jpg")); });
  EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_1.jpg")));
  EXPECT_EQ(readFile(h.dir.sub("private.mov")), "not the kiosk's to send");
  EXPECT_EQ(storedImageNames(h.dir.sub("store")), std::vector<std::string>{"IMG_1.jpg"});
  EXPECT_EQ(h.uploads().size(), 1u);
  EXPECT_EQ(dictGet(h.uploads()[0], kEdMuxedMovieName), nullptr);
}

TEST(FaultPath, FileNamesWithControlBytesReachTheSiteEncoded) {
  CycleHarness h(true, true);
  SiteProcess site(h.dir.sub("store"));
  ASSERT_TRUE(site.ok());
  h.setPref(sPrefVyrURL, site.url());
  const std::pair<std::string, std::string> names[] = {{"a\rb.jpg", "a%0Db.jpg"},
                                                       {"c\nd.jpg", "c%0Ad.jpg"},
                                                       {"e\"f.jpg", "e%22f.jpg"},
                                                       {"g\th.jpg", "g%09h.jpg"},
                                                       {"back\\slash.jpg", "back\\slash.jpg"}};
  for (const auto& [name, sent] : names)
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/" + name), standardMetaData()));
  writeGoodPhotos(h.dir.sub("Source/Event"), 1);
  drive(h, 30, [&] { return storedImageNames(h.dir.sub("store")).size() >= 6; });
  auto stored = storedImageNames(h.dir.sub("store"));
  for (const auto& [name, sent] : names) {
    EXPECT_NE(std::find(stored.begin(), stored.end(), sent), stored.end()) << sent;
    EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/" + name))) << sent;
  }
}

TEST(FaultPath, OnlyWebAddressesAreUploadedTo) {
  const struct {
    const char* url;
    bool accepted;
  } cases[] = {{"ftp://127.0.0.1/upload", false},   {"file:///etc/passwd", false},
               {"gopher://127.0.0.1/", false},      {"", false},
               {"HTTP://127.0.0.1:9/upload", true}, {"https://127.0.0.1:9/upload", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    CycleHarness h;
    h.setPref(sPrefVyrURL, c.url);
    EXPECT_EQ(h.controller->validateUserInfoBeforeUploading(h.source()), c.accepted);
    h.loop.runPending();
    EXPECT_EQ(h.view.wasShown(AppField::FTPCallbackStatus,
                              std::string("The Site Address (prefVyrURL) Must Begin With http:// "
                                          "or https://: [") +
                                  c.url + "]"),
              !c.accepted);
  }
  // The transport refuses other schemes too, whatever asks it.
  HttpRequest request;
  request.url = "file:///etc/hostname";
  HttpResult result = CurlHttpTransport().post(request);
  EXPECT_TRUE(result.error);
  EXPECT_FALSE(result.body);
}

}  // namespace
}  // namespace sorv::test

namespace sorv::test {
namespace {

// The site answers ERROR once: the cycle stops with the site's message in red, and its
// auto-synchronise timer brings the pass that uploads the photo.
TEST(FaultPath, ACycleStoppedByTheSiteComesBackOnItsTimer) {
  CycleHarness h(true, true);
  SiteProcess site(h.dir.sub("store"), {"--fault", "paddederror", "--fault-times", "1"});
  ASSERT_TRUE(site.ok());
  h.setPref(sPrefVyrURL, site.url());
  h.setPref(sPrefAutoSynchronize, true);
  h.setPref(sPrefSecondsBetweenScans, 30);
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), standardMetaData()));
  drive(h, 120, [&] { return exists(h.dir.sub("Mirror/Event/IMG_1.jpg")); });
  EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_1.jpg")));
  EXPECT_EQ(postsFor(h.dir.sub("store"), "IMG_1.jpg"), 2);
  EXPECT_TRUE(h.view.wasShown(AppField::FTPCallbackStatus, "The service is not taking uploads"));
}

// A link in the source folder to a photo elsewhere is neither sent nor moved.
TEST(FaultPath, LinksOutOfTheSourceFolderAreNeverFollowed) {
  CycleHarness h(true, true);
  SiteProcess site(h.dir.sub("store"));
  ASSERT_TRUE(site.ok());
  h.setPref(sPrefVyrURL, site.url());
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("private/secret.jpg"), standardMetaData()));
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), standardMetaData()));
  ASSERT_EQ(
      symlink(h.dir.sub("private/secret.jpg").c_str(), h.dir.sub("Source/Event/link.jpg").c_str()),
      0);
  drive(h, 10, [&] { return exists(h.dir.sub("Mirror/Event/IMG_1.jpg")); });
  h.pumpUntil([&] { return h.isIdle(); }, 5);
  EXPECT_EQ(storedImageNames(h.dir.sub("store")), std::vector<std::string>{"IMG_1.jpg"});
  EXPECT_TRUE(exists(h.dir.sub("private/secret.jpg")));
  EXPECT_FALSE(exists(h.dir.sub("Mirror/Event/link.jpg")));
}

}  // namespace
}  // namespace sorv::test
