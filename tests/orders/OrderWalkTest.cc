// The walk of order replies of every shape, over a recording transport: which originals are
// uploaded, what the progress window is told, and that hostile replies change nothing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "orders/HttpHiResController.h"
#include "platform/Bundle.h"
#include "platform/Notifications.h"
#include "platform/ProgressWindow.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/support/FakeHttpTransport.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

class RecordingWindow : public myProgressWindowController {
 public:
  void showWindow() override {}
  void ibUpdateLine1TextField(const std::string&, bool) override {}
  void ibUpdateLine2TextField(const std::string& text, bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines.push_back(text);
  }
  void ibUpdateProgressBar(const std::string&) override {}
  void ibSetWindowTitle(const std::string&) override {}
  void close() override {}
  bool saw(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  std::vector<std::string> lines;

 private:
  std::mutex mutex_;
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
    photos::JpegOptions jpeg;
    for (const char* path : {"Alt/Event/IMG_1.jpg", "12345678/12345678_0003.jpg", "portrait.jpg"}) {
      std::filesystem::create_directories(std::filesystem::path(dir.sub(path)).parent_path());
      ASSERT_TRUE(photos::writeJpeg(dir.sub(path), jpeg));
    }
  }

  // The files uploaded for one reply, in order.
  std::vector<std::string> walk(const std::string& checkFuseAction, const std::string& reply) {
    DefaultsStore::standard().setObject(Value(checkFuseAction), sPrefCheckHiResOrderFuseAction);
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
      auto at = body.find("filename=\"");
      files.push_back(
          at == std::string::npos ? "?" : body.substr(at + 10, body.find('"', at + 10) - at - 10));
    }
    return files;
  }

  test::TempDir dir;
  RecordingWindow window;
};

std::string v3Order(const std::string& inner) {
  return "<order>" + inner + "</order>";
}

TEST_F(OrderWalkTest, RepliesOfEveryShape) {
  const std::string full3 =
      "<localfilelocation>/Volumes/K/Event/IMG_1.jpg</localfilelocation><orderid>1</orderid>"
      "<imageid>7</imageid><pictureid>3</pictureid>";
  std::string deep(200000 * 3, ' ');
  for (std::size_t i = 0; i < 200000; ++i) deep.replace(i * 3, 3, "<a>");
  std::string undeep;
  for (std::size_t i = 0; i < 200000; ++i) undeep += "</a>";
  struct Case {
    const char* name;
    const char* fuse;
    std::string reply;
    std::vector<std::string> uploads;
    const char* line;  // a progress line that must have been shown, or nullptr
  };
  const Case cases[] = {
      {"v3: an order without imageid is skipped, the next goes",
       "orders.check",
       "<orders>" +
           v3Order("<localfilelocation>/Volumes/K/Event/IMG_1.jpg</localfilelocation><orderid>1</"
                   "orderid><pictureid>3</pictureid>") +
           v3Order(full3) + "<status>OK</status><message>m</message></orders>",
       {"IMG_1.jpg"},
       "Found 2 Orders..."},
      {"v4: name fallback with digits",
       "orders.v4check",
       "<orders><status>OK</status><message>m</message><image><imageid>9</imageid>"
       "<localfilelocation></localfilelocation><filename>12345678_0003 copy</filename></image>"
       "</orders>",
       {"12345678_0003.jpg"},
       "Looking for Hi Res Item: [12345678/12345678_0003.jpg]"},
      {"v4: name fallback without digits",
       "ORDERS.V4CHECK",
       "<orders><status>OK</status><message>m</message><image><imageid>9</imageid>"
       "<localfilelocation/><filename>portrait</filename></image></orders>",
       {"portrait.jpg"},
       "Looking for Hi Res Item: [portrait.jpg]"},
      {"v4: an image without filename is skipped",
       "orders.v4check",
       "<orders><status>OK</status><message>m</message><image><imageid>9</imageid>"
       "<localfilelocation/></image></orders>",
       {},
       "Found 1 Orders..."},
      {"entities are never expanded",
       "orders.check",
       "<?xml version=\"1.0\"?><!DOCTYPE orders [<!ENTITY p \"/Volumes/K/Event/IMG_1.jpg\">"
       "<!ENTITY x SYSTEM \"file:///etc/passwd\">]><orders>" +
           v3Order("<localfilelocation>&p;</localfilelocation><orderid>1</orderid><imageid>7</"
                   "imageid><pictureid>&x;</pictureid>") +
           "</orders>",
       {},
       "Looking for Hi Res Item: [&p;]"},
      {"deep nesting",
       "orders.check",
       "<orders>" +
           v3Order("<localfilelocation>" + deep + undeep +
                   "</localfilelocation><orderid/><imageid/><pictureid/>") +
           "</orders>",
       {},
       nullptr},
      {"a body that stops", "orders.check", "<orders>" + v3Order(full3).substr(0, 40), {}, nullptr},
      {"not XML", "orders.check", "OK", {}, nullptr},
  };
  for (const auto& c : cases) {
    window.lines.clear();
    EXPECT_EQ(walk(c.fuse, c.reply), c.uploads) << c.name;
    if (c.line) {
      EXPECT_TRUE(window.saw(c.line)) << c.name << ": " << c.line;
    }
  }
}

TEST_F(OrderWalkTest, ManyOrdersAreWalkedAndAnOversizedReplyIsRefused) {
  auto reply = [](std::size_t n) {
    std::string r = "<orders>";
    for (std::size_t i = 0; i < n; ++i)
      r += "<order><localfilelocation>/V/x" + std::to_string(i) +
           ".jpg</localfilelocation><orderid/><imageid>1</imageid><pictureid/></order>";
    return r + "</orders>";
  };
  DefaultsStore::standard().setObject(Value(0), sPrefSearchPathMethodTag);
  EXPECT_TRUE(walk("orders.check", reply(20000)).empty());
  EXPECT_TRUE(window.saw("Found 20000 Orders..."));
  window.lines.clear();
  EXPECT_TRUE(walk("orders.check", reply(100000)).empty());  // over the reply limit
  EXPECT_TRUE(window.lines.size() <= 1u);
}

TEST_F(OrderWalkTest, HiResUploadNeedsItsFileAndItsFields) {
  test::FakeHttpTransport transport;
  transport.setReply(200, "<r><status>OK</status><message>m</message></r>");
  HttpHiResController controller(&transport);
  const Dict base{{kEdUser, Value("u")},
                  {kEdPasswd, Value("p")},
                  {kEdImageId, Value("5")},
                  {kEdFileName, Value(dir.sub("portrait.jpg"))}};
  Dict unreadable = base, noImageId = base, delimiter = base;
  unreadable[kEdFileName] = Value(dir.sub("gone.jpg"));
  noImageId.erase(kEdImageId);
  delimiter[kEdOrderId] = Value("1--0xKhTmLbOuNdArY");
  for (const Dict& d : {unreadable, noImageId, delimiter}) {
    auto info = makeDict(d);
    controller.doRunHttpUploaderHiResWithInfo(info);
    EXPECT_TRUE(info->empty());
  }
  EXPECT_TRUE(transport.requests().empty());
  controller.doRunHttpUploaderHiResWithInfo(makeDict(base));
  ASSERT_EQ(transport.requests().size(), 1u);
  const std::string body = transport.requests()[0].body;
  EXPECT_EQ(body.find("orderid"), std::string::npos);
  EXPECT_EQ(body.find("pictureid"), std::string::npos);
  EXPECT_EQ(body.find("Submit"), std::string::npos);
  EXPECT_NE(body.find("name=\"imageid\"\r\n\r\n5\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: "
                      "form-data; name=\"imgfile\"; filename=\"portrait.jpg\"\r\nContent-Type: "
                      "image/jpeg\r\n\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace sorv
