// Order checks against the reference site: both reply layouts, originals found under the
// alternate folder, refused files, and what the site stored for each hi-res upload.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "orders/HttpHiResController.h"
#include "platform/Notifications.h"
#include "platform/Plist.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

namespace sorv {
namespace {

struct StoredHiRes {
  std::vector<std::string> fieldNames;  // every part in body order
  std::map<std::string, std::string> values;
  std::string contentType, fileName;
};

// The hi-res uploads the site stored, by image id.
std::map<std::string, StoredHiRes> storedHiRes(const std::string& store) {
  std::map<std::string, StoredHiRes> out;
  for (const auto& entry : std::filesystem::directory_iterator(store)) {
    auto fields = plist::parseFile(entry.path().string() + "/fields.plist");
    if (!fields || !fields->asDict()) continue;
    StoredHiRes upload;
    const Array* parts = dictGetArray(*fields->asDict(), "parts");
    for (const Value& part : parts ? *parts : Array{}) {
      const Dict& p = *part.asDict();
      std::string name = *dictGetString(p, "name");
      upload.fieldNames.push_back(name);
      if (const std::string* v = dictGetString(p, "value")) upload.values[name] = *v;
      if (const std::string* t = dictGetString(p, "contentType")) upload.contentType = *t;
      if (const std::string* f = dictGetString(p, "filename")) upload.fileName = *f;
    }
    out[upload.values["imageid"]] = upload;
  }
  return out;
}

Dict order(const std::string& location, const std::string& imageId, const std::string& fileName) {
  return Dict{{"localfilelocation", Value(location)},
              {"orderid", Value("o" + imageId)},
              {"imageid", Value(imageId)},
              {"pictureid", Value("p" + imageId)},
              {"filename", Value(fileName)}};
}

TEST(SiteOrdersTest, BothLayoutsUploadWhatIsFoundAndRefuseTheRest) {
  const struct {
    const char* what;
    bool version4, https;
  } runs[] = {{"version 3", false, false},
              {"version 4", true, false},
              {"version 4 over HTTPS", true, true}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.what);
    const bool version4 = run.version4;
    test::TempDir dir;
    ::setenv("SORV_DEFAULTS", dir.sub("defaults.plist").c_str(), 1);
    ::setenv("SORV_LOG_DIR", dir.sub("logs").c_str(), 1);
    DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
    std::string alt = dir.sub("Alt");
    for (const char* sub : {"/Event", "/My Event", "/Empty"})
      std::filesystem::create_directories(alt + sub);
    ASSERT_TRUE(photos::writeJpeg(alt + "/Event/IMG_1.jpg", {}));
    ASSERT_TRUE(photos::writePng(alt + "/My Event/IMG 2.PNG", {}));
    ASSERT_TRUE(photos::writeJpeg(alt + "/Event/IMG_3.tif", {}));
    ASSERT_TRUE(test::writeFile(dir.sub("home/kiosk/.ssh/id_ed25519"), "-----BEGIN KEY-----\n"));
    // A photo with 201 MB of nothing after it (a sparse file): too large to be an original.
    ASSERT_TRUE(photos::writeJpeg(alt + "/Event/HUGE.jpg", {}));
    std::filesystem::resize_file(alt + "/Event/HUGE.jpg", 201u << 20);

    Array orders = {
        Value(order("/Volumes/Kiosk/Event/IMG_1.jpg", "101", "IMG_1.jpg")),
        Value(order("/Volumes/Kiosk/My%20Event/IMG%202.PNG", "102", "IMG 2.PNG")),
        Value(order("/Volumes/Kiosk/Event/IMG_3.tif", "103", "IMG_3.tif")),
        Value(order(dir.sub("home/kiosk/.ssh/id_ed25519"), "104", "id_ed25519")),
        Value(order(dir.sub("Alt/Empty/../Event/IMG_1.jpg"), "105", "IMG_1.jpg")),
        Value(order("/Volumes/Kiosk/Nowhere/IMG_9.jpg", "106", "IMG_9.jpg")),
        Value(order("/Volumes/Kiosk/Event/HUGE.jpg", "107", "HUGE.jpg")),
    };
    ASSERT_TRUE(plist::writeFileAtomically(dir.sub("orders.plist"), Value(orders)));
    std::filesystem::create_directories(dir.sub("store"));
    std::vector<std::string> siteArgs = {"--orders", dir.sub("orders.plist")};
    test::TestAuthority authority(dir.path());
    ::unsetenv("SORV_CA_FILE");
    if (run.https) {
      test::SiteCertificate cert = authority.issue("site", {"127.0.0.1"});
      siteArgs.insert(siteArgs.end(), {"--tls-cert", cert.cert, "--tls-key", cert.key});
      ::setenv("SORV_CA_FILE", authority.caFile().c_str(), 1);
    }
    test::SiteProcess site(dir.sub("store"), siteArgs);
    ASSERT_TRUE(site.ok());

    auto& prefs = DefaultsStore::standard();
    prefs.setObject(Value(site.url()), sPrefVyrURL);
    prefs.setObject(Value(version4 ? "Orders.V4Check" : "orders.v3check"),
                    sPrefCheckHiResOrderFuseAction);
    prefs.setObject(Value("orders.hiresupload"), sPrefUploadHiResOrderFuseAction);
    prefs.setObject(Value(3), sPrefSearchPathMethodTag);
    prefs.setObject(Value(alt), sPrefVyrHiResAlternatePath1);

    HttpHiResController controller;
    auto info = makeDict(Dict{{kEdUser, Value("kiosk1")}, {kEdPasswd, Value("s3cret")}});
    controller.doQueryAndUploadHiResWithInfo(info);
    EXPECT_TRUE(info->empty());

    auto stored = storedHiRes(dir.sub("store"));
    ASSERT_EQ(stored.size(), 3u);
    const std::pair<const char*, const char*> types[] = {
        {"101", "image/jpeg"}, {"102", "image/png"}, {"103", "image/jpeg"}};
    for (const auto& [id, type] : types) {
      StoredHiRes& s = stored[id];
      std::vector<std::string> want = {"fuseaction", "username", "password", "orderid", "imageid"};
      if (!version4) want.push_back("pictureid");
      want.push_back("imgfile");
      EXPECT_EQ(s.fieldNames, want) << id;
      EXPECT_EQ(s.values["fuseaction"] + s.values["username"] + s.values["orderid"],
                std::string("orders.hiresuploadkiosk1o") + id);
      EXPECT_EQ(s.contentType, type) << id;
    }
    EXPECT_EQ(stored["102"].fileName, "IMG 2.PNG");

    // A second check finds only the refused, the unsafe and the missing ones, and sends none.
    controller.doQueryAndUploadHiResWithInfo(
        makeDict(Dict{{kEdUser, Value("kiosk1")}, {kEdPasswd, Value("s3cret")}}));
    EXPECT_EQ(storedHiRes(dir.sub("store")).size(), 3u);
    std::string left = test::readFile(dir.sub("logs/hiresOrderResponse.txt"));
    for (const char* id : {"101", "102", "103", "104", "105", "106", "107"})
      EXPECT_EQ(left.find(std::string("<imageid>") + id + "<") != std::string::npos,
                std::string(id) >= "104")
          << id;

    // The dumps: private, and without the password.
    for (const char* name : {"hiresPostBody.txt", "hiresOrderResponse.txt"}) {
      std::string path = dir.sub(std::string("logs/") + name);
      auto perms = std::filesystem::status(path).permissions();
      EXPECT_EQ(perms & std::filesystem::perms::all,
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
          << name;
      EXPECT_EQ(test::readFile(path).find("s3cret"), std::string::npos) << name;
    }
    ::unsetenv("SORV_CA_FILE");
  }
}

}  // namespace
}  // namespace sorv
