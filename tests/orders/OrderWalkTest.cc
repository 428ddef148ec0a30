// The walk of order replies of every shape, over a recording transport: which originals are
// uploaded, what the progress window is told, and that hostile replies change nothing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "orders/HttpHiResController.h"
#include "platform/Bundle.h"
#include "platform/Notifications.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/support/FakeHttpTransport.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

// Remembers every line-2 text (the walk runs on the test's thread).
class RecordingWindow : public ConsoleProgressWindow {
 public:
  void ibUpdateLine2TextField(const std::string& text, bool) override { lines.push_back(text); }
  bool saw(const std::string& t) const {
    return std::find(lines.begin(), lines.end(), t) != lines.end();
  }
  std::vector<std::string> lines;
};

class OrderWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("SORV_DEFAULTS", dir.sub("defaults.plist").c_str(), 1);
    ::setenv("SORV_LOG_DIR", dir.sub("logs").c_str(), 1);
    DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
    Bundle::setMainBundlePath(dir.sub("Sorv-FTPUploader.app"));  // fallback root: dir
    auto& prefs = DefaultsStore::standard();
    prefs.setObject(Value("http://127.0.0.1:9/upload"), sPrefVyrURL);
    prefs.setObject(Value(2), sPrefSearchPathMethodTag);
    prefs.setObject(Value(dir.sub("Alt")), sPrefVyrHiResAlternatePath1);
    for (const char* path : {"Alt/Event/IMG_1.jpg", "12345678/12345678_0003.jpg", "portrait.jpg"}) {
      std::filesystem::create_directories(std::filesystem::path(dir.sub(path)).parent_path());
      ASSERT_TRUE(photos::writeJpeg(dir.sub(path), photos::JpegOptions{}));
    }
  }

  // The file names uploaded for one reply, in order.
  std::vector<std::string> walk(const std::string& checkFuseAction, const std::string& reply) {
    DefaultsStore::standard().setObject(Value(checkFuseAction), sPrefCheckHiResOrderFuseAction);
    window.lines.clear();
    test::FakeHttpTransport transport;
    transport.setReply(200, reply);
    HttpHiResController controller(&transport);
    controller.setProgressDelegate(&window);
    controller.doQueryAndUploadHiResWithInfo(
        makeDict(Dict{{kEdUser, Value("kiosk1")}, {kEdPasswd, Value("pw")}}));
    std::vector<std::string> files;
    auto requests = transport.requests();
    for (std::size_t i = 1; i < requests.size(); ++i) {
      const std::string& body = requests[i].body;
      auto at = body.find("filename=\"") + 10;
      files.push_back(body.substr(at, body.find('"', at) - at));
    }
    return files;
  }

  test::TempDir dir;
  RecordingWindow window;
};

std::string v3(const std::string& location, const std::string& rest) {
  return "<order><localfilelocation>" + location + "</localfilelocation>" + rest + "</order>";
}
std::string v4(const std::string& inner) {
  return "<orders><status>OK</status><message>m</message><image><imageid>9</imageid>" + inner +
         "</image></orders>";
}

TEST_F(OrderWalkTest, RepliesOfEveryShape) {
  const std::string ids = "<orderid>1</orderid><imageid>7</imageid><pictureid>3</pictureid>";
  const std::string good = v3("/Volumes/K/Event/IMG_1.jpg", ids);
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  struct Case {
    const char *name, *fuse;
    std::string reply;
    std::vector<std::string> uploads;
    const char* line;  // a progress line that must have been shown, or nullptr
  } cases[] = {
      {"an order without imageid is skipped",
       "orders.check",
       "<orders>" +
           v3("/Volumes/K/Event/IMG_1.jpg", "<orderid>1</orderid><pictureid>3</pictureid>") + good +
           "</orders>",
       {"IMG_1.jpg"},
       "Found 2 Orders..."},
      {"fallback with digits",
       "orders.v4check",
       v4("<localfilelocation></localfilelocation><filename>12345678_0003 copy</filename>"),
       {"12345678_0003.jpg"},
       "Looking for Hi Res Item: [12345678/12345678_0003.jpg]"},
      {"fallback without digits",
       "ORDERS.V4CHECK",
       v4("<localfilelocation/><filename>portrait</filename>"),
       {"portrait.jpg"},
       "Looking for Hi Res Item: [portrait.jpg]"},
      {"an image without filename is skipped",
       "orders.v4check",
       v4("<localfilelocation/>"),
       {},
       "Found 1 Orders..."},
      {"entities are never expanded",
       "orders.check",
       "<!DOCTYPE orders [<!ENTITY p \"/Volumes/K/Event/IMG_1.jpg\"><!ENTITY x SYSTEM "
       "\"file:///etc/passwd\">]><orders>" +
           v3("&p;", "<orderid>&x;</orderid><imageid>7</imageid><pictureid/>") + "</orders>",
       {},
       "Looking for Hi Res Item: [&p;]"},
      {"deep nesting", "orders.check", "<orders>" + v3(deep, ids) + "</orders>", {}, nullptr},
      {"a body that stops", "orders.check", "<orders>" + good.substr(0, 40), {}, nullptr},
      {"not XML", "orders.check", "OK", {}, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(walk(c.fuse, c.reply), c.uploads) << c.name;
    if (c.line) {
      EXPECT_TRUE(window.saw(c.line)) << c.name;
    }
  }

  // Many orders are all walked; a reply over the size limit is not walked at all.
  DefaultsStore::standard().setObject(Value(0), sPrefSearchPathMethodTag);
  auto many = [&](int n) {
    std::string r = "<orders>";
    for (int i = 0; i < n; ++i) r += v3("/V/x" + std::to_string(i) + ".jpg", ids);
    return r + "</orders>";
  };
  EXPECT_TRUE(walk("orders.check", many(20000)).empty());
  EXPECT_TRUE(window.saw("Found 20000 Orders..."));
  EXPECT_TRUE(walk("orders.check", many(100000)).empty());
  EXPECT_EQ(window.lines.size(), 1u);  // the query line only
}

TEST_F(OrderWalkTest, AnUnreadableOriginalIsNotSent) {
  test::FakeHttpTransport transport;
  HttpHiResController controller(&transport);
  auto info = makeDict(Dict{{kEdUser, Value("u")},
                            {kEdPasswd, Value("p")},
                            {kEdImageId, Value("5")},
                            {kEdFileName, Value(dir.sub("gone.jpg"))}});
  controller.doRunHttpUploaderHiResWithInfo(info);
  EXPECT_TRUE(info->empty());
  EXPECT_TRUE(transport.requests().empty());
}

}  // namespace
}  // namespace sorv
