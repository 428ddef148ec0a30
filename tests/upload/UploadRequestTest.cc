// The request the controller builds for one item, checked through a recording transport.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/Notifications.h"
#include "settings/DefaultsStore.h"
#include "tests/support/FakeHttpTransport.h"
#include "tests/upload/UploadTestEnv.h"
#include "upload/HttpController.h"
#include "upload/MultipartForm.h"

namespace sorv::test {
namespace {

const char* kOkReply = "<reply><status>OK</status><message>done</message></reply>";

// (name, value) of every text field of a recorded body, in order; file parts give
// (name, "<file:filename>").
std::vector<std::pair<std::string, std::string>> fieldsOf(const std::string& body) {
  std::vector<std::pair<std::string, std::string>> out;
  const std::string sep = "\r\n--0xKhTmLbOuNdArY\r\n";
  std::size_t pos = body.find(sep);
  while (pos != std::string::npos) {
    std::size_t start = pos + sep.size();
    std::size_t next = body.find(sep, start);
    std::size_t end =
        next == std::string::npos ? body.find("\r\n--0xKhTmLbOuNdArY--", start) : next;
    std::string part = body.substr(start, end - start);
    std::size_t n1 = part.find("name=\"") + 6, n2 = part.find('"', n1);
    std::string name = part.substr(n1, n2 - n1);
    std::size_t hdrEnd = part.find("\r\n\r\n");
    std::size_t fn = part.find("filename=\"");
    if (fn != std::string::npos && fn < hdrEnd) {
      std::size_t f2 = part.find('"', fn + 10);
      out.emplace_back(name, "<file:" + part.substr(fn + 10, f2 - fn - 10) + ">");
    } else {
      out.emplace_back(name, part.substr(hdrEnd + 4));
    }
    pos = next;
  }
  return out;
}

std::vector<std::string> namesOf(const std::vector<std::pair<std::string, std::string>>& f) {
  std::vector<std::string> names;
  for (const auto& [n, v] : f) names.push_back(n);
  return names;
}

class UploadRequestTest : public UploadTest {
 protected:
  void SetUp() override {
    UploadTest::SetUp();
    setPref("prefVyrURL", Value("http://127.0.0.1:9/upload"));
    transport.setReply(200, kOkReply);
  }
  // Runs one upload; returns the recorded body ("" when nothing was sent).
  std::string upload(const DictRef& item) {
    HttpController controller(&transport);
    std::size_t before = transport.requests().size();
    controller.doRunHttpUploaderWithInfo(item);
    auto reqs = transport.requests();
    return reqs.size() > before ? reqs.back().body : "";
  }
  FakeHttpTransport transport;
};

TEST_F(UploadRequestTest, FullItemBodyByteForByte) {
  setPref("prefVyrFuseAction", Value("UpLoad.Bp5"));
  auto item = makeItem("IMG_0001.Png", std::string("\x89PNG\r\n\x1a\n\0\1\2", 11));
  std::string movie = dir.sub("source/event/clip.mov");
  writeFile(movie, std::string("moov\0\xff", 6));
  (*item)[kEdKioskStation] = Value("   07\n");
  (*item)[kEdEmails] = Value("a@example.com,b@example.com");
  (*item)[kEdOriginalPath] = Value("/Volumes/Photos/IMG_0001.Png");
  (*item)[kEdKestrelInfo] = Value(Dict{{"mobile", Value("555-0100")}});
  (*item)[kEdSittingInfoDictionary] = Value(Dict{{"bgloc", Value("Beach")},
                                                 {"firstname", Value("Ana")},
                                                 {"lastname", Value("Diaz")},
                                                 {"zip", Value("10001")},
                                                 {"age", Value(7)},
                                                 {"email", Value("ana@example.com")},
                                                 {"sittingid", Value("S-9")}});
  (*item)[kEdMuxedMovieName] = Value(movie);

  std::string expected =
      fieldBytes("username", "kiosk1") + fieldBytes("password", "s3cret") +
      fieldBytes("event", "Summer_07") + fieldBytes("account", "kiosk1") +
      fieldBytes("code", "S3CRET") + fieldBytes("ids", "12345678") +
      fieldBytes("client", "12345678") + fieldBytes("capturetime", "2026-12-08 15:50:19") +
      fieldBytes("metadata", "<plist/>") + fieldBytes("fuseaction", "upload.upload") +
      fieldBytes("emails", "a@example.com,b@example.com") +
      fieldBytes("localfilelocation", "/Volumes/Photos/IMG_0001.Png") +
      fieldBytes("phone", "555-0100") + fieldBytes("bglocation", "Beach") +
      fieldBytes("firstname", "Ana") + fieldBytes("lastname", "Diaz") + fieldBytes("zip", "10001") +
      fieldBytes("age", "7") + fieldBytes("email", "ana@example.com") +
      fieldBytes("sittingid", "S-9") + fieldBytes("Submit", "Upload") +
      fileHeaderBytes("imgfile", "IMG_0001.Png", "image/png") +
      std::string("\x89PNG\r\n\x1a\n\0\1\2", 11) +
      fileHeaderBytes("vidfile", "clip.mov", "video/quicktime") + std::string("moov\0\xff", 6) +
      closingBytes();
  EXPECT_EQ(upload(item), expected);

  auto req = transport.requests().at(0);
  EXPECT_EQ(req.url, "http://127.0.0.1:9/upload");
  ASSERT_EQ(req.headers.size(), 1u);
  EXPECT_EQ(req.headers[0].first, "Content-Type");
  EXPECT_EQ(req.headers[0].second, "multipart/form-data; boundary=0xKhTmLbOuNdArY");
  EXPECT_EQ(req.stallTimeoutSeconds, 60);
}

TEST_F(UploadRequestTest, FieldRules) {
  struct Case {
    const char* what;
    const char* fusePref;
    Dict extra;
    std::vector<std::string> names;  // text fields in order
    std::vector<std::pair<std::string, std::string>> values;
  };
  const std::vector<std::string> plain = {"username",    "password", "event",     "client",
                                          "capturetime", "metadata", "fuseaction"};
  auto with = [&](std::vector<std::string> more) {
    auto v = plain;
    v.insert(v.end(), more.begin(), more.end());
    v.push_back("Submit");
    v.push_back("imgfile");
    return v;
  };
  std::vector<std::string> bp5 = {"username", "password",   "event",  "account",
                                  "code",     "ids",        "client", "capturetime",
                                  "metadata", "fuseaction", "Submit", "imgfile"};
  const std::vector<Case> cases = {
      {"bp5 in mixed case", "uPLOAD.bP5", {}, bp5, {{"code", "S3CRET"}, {"ids", "12345678"}}},
      {"another fuse action", "upload.ardent", {}, with({}), {{"event", "Summer"}}},
      {"no fuse action preference", nullptr, {}, with({}), {}},
      {"station of blanks, 07, line break",
       "upload.upload",
       {{kEdKioskStation, Value(" \t 07\r\n")}},
       with({}),
       {{"event", "Summer_07"}}},
      {"station of only blanks and line breaks",
       "upload.upload",
       {{kEdKioskStation, Value("  \n\t ")}},
       with({}),
       {{"event", "Summer"}}},
      {"kestrel info with only mobile",
       "upload.upload",
       {{kEdKestrelInfo, Value(Dict{{"mobile", Value("555")}})}},
       with({"phone"}),
       {{"phone", "555"}}},
      {"contact and sitting e-mail",
       "upload.upload",
       {{kEdKestrelInfo, Value(Dict{{"email", Value("contact@x")}})},
        {kEdSittingInfoDictionary, Value(Dict{{"email", Value("sitting@x")}})}},
       with({"email", "email"}),
       {{"email", "contact@x"}}},
      {"partial sitting dictionary",
       "upload.upload",
       {{kEdSittingInfoDictionary, Value(Dict{{"zip", Value("1")}, {"firstname", Value("A")}})}},
       with({"firstname", "zip"}),
       {}},
      {"e-mails and original path",
       "upload.upload",
       {{kEdEmails, Value("x@y")}, {kEdOriginalPath, Value("/o.jpg")}},
       with({"emails", "localfilelocation"}),
       {{"localfilelocation", "/o.jpg"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.fusePref)
      setPref("prefVyrFuseAction", Value(c.fusePref));
    else
      DefaultsStore::standard().removeObject("prefVyrFuseAction");
    auto item = makeItem("a.jpg", "JPEG");
    for (const auto& [k, v] : c.extra) (*item)[k] = v;
    auto fields = fieldsOf(upload(item));
    EXPECT_EQ(namesOf(fields), c.names);
    for (const auto& [name, value] : c.values) {
      auto it = std::find_if(fields.begin(), fields.end(),
                             [&name = name](const auto& f) { return f.first == name; });
      ASSERT_NE(it, fields.end()) << name;
      EXPECT_EQ(it->second, value) << name;
    }
    if (std::string(c.what) == "contact and sitting e-mail") {
      std::vector<std::string> emails;
      for (const auto& [n, v] : fields)
        if (n == "email") emails.push_back(v);
      EXPECT_EQ(emails, (std::vector<std::string>{"contact@x", "sitting@x"}));
    }
  }
}

TEST_F(UploadRequestTest, ContentTypeByExtension) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a.Png", "image/png"},  {"b.jpeg", "image/jpeg"}, {"c.mov", "video/quicktime"},
      {"d.JPG", "image/jpeg"}, {"e.gif", "image/jpeg"},  {"noext", "image/jpeg"},
      {"f.PNG", "image/png"},
  };
  for (const auto& [name, type] : cases) {
    SCOPED_TRACE(name);
    std::string body = upload(makeItem(name, "bytes"));
    EXPECT_NE(body.find(fileHeaderBytes("imgfile", name, type) + "bytes" + closingBytes()),
              std::string::npos);
  }
}

TEST_F(UploadRequestTest, MoviePart) {
  struct Case {
    const char* what;
    bool pref;
    const char* muxed;        // relative to the item folder; nullptr: key absent
    const char* movieFile;    // written beside the image, or nullptr
    const char* expectMovie;  // file name of the vidfile part, or nullptr for none
  };
  const std::vector<Case> cases = {
      {"named movie that exists", false, "m.mov", "m.mov", "m.mov"},
      {"named movie that does not exist", true, "gone.mov", "IMG.mov", nullptr},
      {"same base name with prefUploadMovie", true, nullptr, "IMG.mov", "IMG.mov"},
      {"same base name without prefUploadMovie", false, nullptr, "IMG.mov", nullptr},
      {"prefUploadMovie but no movie", true, nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    setPref("prefUploadMovie", Value(c.pref));
    auto item = makeItem("IMG.JPG", "JPEGBYTES");
    std::string folder = dir.sub("source/event/");
    std::filesystem::remove(folder + "IMG.mov");
    std::filesystem::remove(folder + "m.mov");
    if (c.movieFile) writeFile(folder + c.movieFile, "MOVIEBYTES");
    if (c.muxed) (*item)[kEdMuxedMovieName] = Value(folder + c.muxed);
    std::string body = upload(item);
    ASSERT_FALSE(body.empty());
    std::string tail = fileHeaderBytes("imgfile", "IMG.JPG", "image/jpeg") + "JPEGBYTES";
    if (c.expectMovie)
      tail += fileHeaderBytes("vidfile", c.expectMovie, "video/quicktime") + "MOVIEBYTES";
    EXPECT_TRUE(body.ends_with(tail + closingBytes()));
  }
}

// An image or movie that cannot be read is never sent and must not count as uploaded.
TEST_F(UploadRequestTest, UnreadableFilesFailWithoutSending) {
  struct Case {
    const char* what;
    bool imageMissing;
    bool movieIsFolder;
  };
  for (const auto& c : std::vector<Case>{{"image missing", true, false},
                                         {"movie unreadable", false, true},
                                         {"both", true, true}}) {
    SCOPED_TRACE(c.what);
    auto item = makeItem("IMG.jpg", "JPEG");
    if (c.imageMissing) std::filesystem::remove(*dictGetString(*item, kEdFileName));
    if (c.movieIsFolder) {
      std::filesystem::create_directories(dir.sub("source/event/IMG-movie.mov"));
      (*item)[kEdMuxedMovieName] = Value(dir.sub("source/event/IMG-movie.mov"));
    }
    NotificationRecorder rec;
    HttpController controller(&transport);
    std::size_t before = transport.requests().size();
    controller.doRunHttpUploaderWithInfo(item);
    EXPECT_EQ(transport.requests().size(), before);
    Dict done = rec.doneInfo();
    EXPECT_EQ(*dictGetString(done, kHttpOurCustomStatus), "Warning");
    EXPECT_EQ(*dictGetString(done, kHttpOurCustomMessage), "Error in Reading the Contents of file");
    EXPECT_EQ(dictGet(done, kHttpStatusCode), nullptr);
    EXPECT_EQ(rec.outcome(), kUploadFailNotification);
    EXPECT_TRUE(item->empty());
  }
}

TEST_F(UploadRequestTest, MissingRequiredKeyEndsInOneFailure) {
  for (const char* key : {kEdUser, kEdPasswd, kEdFileName, kEdClientName, kEdEventName, kEdMetaData,
                          kEdCaptureTime, kEdVyrFuseAction}) {
    SCOPED_TRACE(key);
    auto item = makeItem("a.jpg", "J");
    item->erase(key);
    NotificationRecorder rec;
    EXPECT_TRUE(upload(item).empty());
    rec.doneInfo();
    EXPECT_EQ(rec.outcome(), kUploadFailNotification);
    EXPECT_TRUE(item->empty());
  }
}

TEST_F(UploadRequestTest, ReplyInfoIsACopyAndCallersDictionaryIsEmptied) {
  auto item = makeItem("a.jpg", "J");
  Dict original = *item;
  HttpResult r;
  r.statusCode = 200;
  r.responseHeaders = {{"Server", "test"}};
  r.body = kOkReply;
  transport.setResult(r);
  NotificationRecorder rec;
  upload(item);
  EXPECT_TRUE(item->empty());
  Dict done = rec.doneInfo();
  for (const auto& [k, v] : original) EXPECT_EQ(done.at(k), v) << k;
  EXPECT_EQ(done.at(kHttpStatusCode).integerValue(), 200);
  EXPECT_EQ(*dictGetString(done, kHttpOurCustomStatus), "OK");
  EXPECT_EQ(*dictGetString(done, kHttpOurCustomMessage), "done");
  const Dict* response = dictGetDict(done, kHttpResponse);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(*dictGetString(*dictGetDict(*response, "headers"), "Server"), "test");
  const Data* data = done.at(kHttpReturnData).asData();
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(data->begin(), data->end()), kOkReply);
  EXPECT_EQ(rec.outcome(), kUploadSuccessNotification);

  // A transport error: the error keys and nothing parsed.
  HttpResult failed;
  failed.error = HttpError{7, "CurlErrorDomain", "Couldn't connect"};
  transport.setResult(failed);
  NotificationRecorder rec2;
  upload(makeItem("b.jpg", "J"));
  Dict done2 = rec2.doneInfo();
  const Dict* err = dictGetDict(done2, kHttpError);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(*dictGetString(*err, "localizedDescription"), "Couldn't connect");
  EXPECT_EQ(dictGet(*err, "code")->integerValue(), 7);
  EXPECT_EQ(dictGet(done2, kHttpOurCustomStatus), nullptr);
  EXPECT_EQ(dictGet(done2, kHttpReturnData), nullptr);
  EXPECT_EQ(rec2.outcome(), kUploadFailNotification);
}

TEST_F(UploadRequestTest, DebugDumpsAreMaskedPrivateAndOptional) {
  setPref("prefVyrFuseAction", Value("upload.bp5"));
  upload(makeItem("a.jpg", "IMAGEBYTES"));
  std::string dump = readFile(logDir() + "/postBodyData.txt");
  EXPECT_NE(dump.find(fieldBytes("password", "********")), std::string::npos);
  EXPECT_NE(dump.find(fieldBytes("code", "********")), std::string::npos);
  EXPECT_EQ(dump.find("s3cret"), std::string::npos);
  EXPECT_EQ(dump.find("S3CRET"), std::string::npos);
  EXPECT_TRUE(dump.ends_with(fileHeaderBytes("imgfile", "a.jpg", "image/jpeg")));
  struct stat st {};
  ASSERT_EQ(::stat((logDir() + "/postBodyData.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(logDir() + "/postBodyDataWithImage.txt"));

  ::setenv("SORV_DEBUG_DUMPS", "1", 1);
  upload(makeItem("a.jpg", "IMAGEBYTES"));
  std::string full = readFile(logDir() + "/postBodyDataWithImage.txt");
  EXPECT_TRUE(full.ends_with("IMAGEBYTES"));
  EXPECT_EQ(full.find("s3cret"), std::string::npos);
  ASSERT_EQ(::stat((logDir() + "/postBodyDataWithImage.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A log folder that cannot be written does not stop the upload.
  ::setenv("SORV_LOG_DIR", "/proc/sorv-no-such-dir", 1);
  EXPECT_FALSE(upload(makeItem("b.jpg", "J")).empty());
}

}  // namespace
}  // namespace sorv::test

namespace sorv::test {
namespace {

TEST_F(UploadRequestTest, UploadStartRunsTheUploadNestedInThePost) {
  NotificationRecorder rec;  // registered first, as the application controller is
  HttpController controller(&transport);
  auto item = makeItem("a.jpg", "J");
  NotificationCenter::defaultCenter().post(kUploadStartNotification, this, item);
  auto entries = rec.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, kUploadDoneNotification);
  EXPECT_EQ(entries[1].name, kUploadSuccessNotification);
  EXPECT_EQ(*dictGetString(entries[1].info, kHttpOurCustomStatus), "OK");
  EXPECT_TRUE(item->empty());

  // Nothing to upload: logged, nothing sent or posted.
  std::size_t before = transport.requests().size();
  NotificationCenter::defaultCenter().post(kUploadStartNotification, this, nullptr);
  controller.handleNotification_UploadStart(nullptr);
  controller.doRunHttpUploaderInThread(DictRef());
  EXPECT_EQ(transport.requests().size(), before);
  EXPECT_EQ(rec.entries().size(), 2u);
}

}  // namespace
}  // namespace sorv::test

namespace sorv {
namespace {

TEST(MultipartFormTest, DelimiterInAValueRefusesTheFormAndNamesAreEscaped) {
  MultipartForm form;
  form.addField("client", "AB12 --0xKhTmLbOuNd");  // a near miss is sent as it is
  form.addField("localfilelocation", "x\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: evil");
  form.addField("metadata", "--0xKhTmLbOuNdArY");
  EXPECT_EQ(form.refusedField(), "localfilelocation");

  const struct {
    std::string name, sent;
  } names[] = {{"a\rb.jpg", "a%0Db.jpg"},
               {"c\nd.jpg", "c%0Ad.jpg"},
               {"e\"f.jpg", "e%22f.jpg"},
               {"g\th.jpg", "g%09h.jpg"},
               {"\x01.jpg", "%01.jpg"},
               {"back\\slash.jpg", "back\\slash.jpg"},
               {"Müller %41.jpg", "Müller %41.jpg"}};
  for (const auto& n : names) EXPECT_EQ(escapedPartFileName(n.name), n.sent) << n.sent;
}

}  // namespace
}  // namespace sorv
