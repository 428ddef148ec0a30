// Uploads through libcurl to the reference site on a loopback port, and the request as it
// appears on the wire.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/Notifications.h"
#include "platform/Plist.h"
#include "tests/support/SiteProcess.h"
#include "tests/upload/UploadTestEnv.h"
#include "upload/HttpController.h"
#include "upload/MultipartForm.h"
#include "upload/UploadReply.h"

namespace sorv::test {
namespace {

// One-connection HTTP listener that keeps the raw request and answers with a canned reply.
class CaptureServer {
 public:
  explicit CaptureServer(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~CaptureServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/up"; }
  std::string head() {
    thread_.join();
    thread_ = std::thread([] {});
    return head_;
  }
  const std::string& body() const { return body_; }

 private:
  void serve() {
    int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    std::string data;
    char buf[65536];
    std::size_t want = std::string::npos;
    while (true) {
      std::size_t end = data.find("\r\n\r\n");
      if (end != std::string::npos && want == std::string::npos) {
        head_ = data.substr(0, end + 4);
        std::size_t cl = head_.find("Content-Length: ");
        want = end + 4 + (cl == std::string::npos ? 0 : std::stoull(head_.substr(cl + 16)));
      }
      if (want != std::string::npos && data.size() >= want) break;
      ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) break;
      data.append(buf, static_cast<std::size_t>(n));
    }
    if (!head_.empty()) body_ = data.substr(head_.size());
    std::size_t off = 0;
    while (off < reply_.size()) {
      ssize_t n = ::send(c, reply_.data() + off, reply_.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    ::close(c);
  }
  int fd_ = -1;
  int port_ = 0;
  std::string reply_, head_, body_;
  std::thread thread_;
};

std::string httpReply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

std::string bytesOf(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) & 0xff);
  return s;
}

class SiteUploadTest : public UploadTest {
 protected:
  // The stored upload folders of the site, oldest first.
  std::vector<std::string> stored() {
    std::vector<std::string> out;
    if (!std::filesystem::exists(dir.sub("store"))) return out;
    for (auto& e : std::filesystem::directory_iterator(dir.sub("store")))
      if (e.path().filename().string()[0] != '.') out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  Dict runUpload(const DictRef& item, NotificationRecorder& rec, double stall = 60) {
    HttpController controller;
    controller.setRequestStallTimeout(stall);
    controller.doRunHttpUploaderWithInfo(item);
    return rec.doneInfo();
  }
};

TEST_F(SiteUploadTest, FullItemArrivesFieldByFieldAndFilesByteForByte) {
  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  setPref("prefVyrURL", Value(site.url()));
  setPref("prefVyrFuseAction", Value("Upload.BP5"));
  std::string image = bytesOf(300000, 1), movie = bytesOf(1000000, 2);
  auto item = makeItem("IMG_7.Png", image);
  writeFile(dir.sub("source/event/IMG_7-movie.mov"), movie);
  (*item)[kEdMuxedMovieName] = Value(dir.sub("source/event/IMG_7-movie.mov"));
  (*item)[kEdKioskStation] = Value("  07\n");
  (*item)[kEdKestrelInfo] = Value(Dict{{"email", Value("k@x")}, {"mobile", Value("555")}});
  (*item)[kEdSittingInfoDictionary] = Value(Dict{{"email", Value("s@x")}});

  NotificationRecorder rec;
  Dict done = runUpload(item, rec);
  EXPECT_EQ(done.at(kHttpStatusCode).integerValue(), 200);
  EXPECT_EQ(*dictGetString(done, kHttpOurCustomStatus), "OK");
  EXPECT_EQ(rec.outcome(), kUploadSuccessNotification);

  auto folders = stored();
  ASSERT_EQ(folders.size(), 1u);
  auto fields = plist::parseFile(folders[0] + "/fields.plist");
  ASSERT_TRUE(fields);
  const Dict& top = *fields->asDict();
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& p : *dictGetArray(top, "parts")) {
    const Dict& d = *p.asDict();
    const std::string* file = dictGetString(d, "filename");
    got.emplace_back(*dictGetString(d, "name"),
                     file ? "<" + *file + " " + *dictGetString(d, "contentType") + ">"
                          : *dictGetString(d, "value"));
  }
  std::vector<std::pair<std::string, std::string>> want = {
      {"username", "kiosk1"},
      {"password", "s3cret"},
      {"event", "Summer_07"},
      {"account", "kiosk1"},
      {"code", "S3CRET"},
      {"ids", "12345678"},
      {"client", "12345678"},
      {"capturetime", "2026-12-08 15:50:19"},
      {"metadata", "<plist/>"},
      {"fuseaction", "upload.upload"},
      {"email", "k@x"},
      {"phone", "555"},
      {"email", "s@x"},
      {"Submit", "Upload"},
      {"imgfile", "<IMG_7.Png image/png>"},
      {"vidfile", "<IMG_7-movie.mov video/quicktime>"}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(readFile(folders[0] + "/IMG_7.Png"), image);
  EXPECT_EQ(readFile(folders[0] + "/IMG_7-movie.mov"), movie);
  const Dict& headers = *dictGetDict(top, "headers");
  EXPECT_EQ(dictGet(headers, "Expect"), nullptr);
  EXPECT_EQ(dictGet(headers, "Accept"), nullptr);
  EXPECT_EQ(*dictGetString(headers, "Content-Type"),
            "multipart/form-data; boundary=0xKhTmLbOuNdArY");

  // The movie found by prefUploadMovie beside a .jpeg image.
  setPref("prefUploadMovie", Value(true));
  auto second = makeItem("B.jpeg", "JPEG!");
  writeFile(dir.sub("source/event/B.mov"), "MOV!");
  NotificationRecorder rec2;
  runUpload(second, rec2);
  folders = stored();
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(readFile(folders[1] + "/B.jpeg"), "JPEG!");
  EXPECT_EQ(readFile(folders[1] + "/B.mov"), "MOV!");
}

TEST_F(SiteUploadTest, RequestOnTheWire) {
  CaptureServer capture(httpReply(200, "<r><s>OK</s><m>done</m></r>"));
  setPref("prefVyrURL", Value(capture.url()));
  auto item = makeItem("a.jpg", bytesOf(70000, 3));
  std::string expected =
      fieldBytes("username", "kiosk1") + fieldBytes("password", "s3cret") +
      fieldBytes("event", "Summer") + fieldBytes("client", "12345678") +
      fieldBytes("capturetime", "2026-12-08 15:50:19") + fieldBytes("metadata", "<plist/>") +
      fieldBytes("fuseaction", "upload.upload") + fieldBytes("Submit", "Upload") +
      fileHeaderBytes("imgfile", "a.jpg", "image/jpeg") + bytesOf(70000, 3) + closingBytes();
  NotificationRecorder rec;
  Dict done = runUpload(item, rec);
  std::string head = capture.head();
  EXPECT_EQ(capture.body(), expected);
  EXPECT_TRUE(head.starts_with("POST /up HTTP/1.1\r\n"));
  EXPECT_NE(head.find("\r\nContent-Type: multipart/form-data; boundary=0xKhTmLbOuNdArY\r\n"),
            std::string::npos);
  EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n"),
            std::string::npos);
  EXPECT_NE(head.find("\r\nHost: 127.0.0.1:"), std::string::npos);
  EXPECT_EQ(head.find("Expect:"), std::string::npos);
  EXPECT_EQ(head.find("Accept:"), std::string::npos);
  EXPECT_EQ(*dictGetString(done, kHttpOurCustomMessage), "done");
}

TEST_F(SiteUploadTest, OversizedReplyIsAFailure) {
  CaptureServer capture(httpReply(200, std::string(kMaxHttpReplyBytes + 10, 'x')));
  setPref("prefVyrURL", Value(capture.url()));
  NotificationRecorder rec;
  Dict done = runUpload(makeItem("a.jpg", "J"), rec);
  capture.head();
  EXPECT_NE(dictGet(done, kHttpError), nullptr);
  EXPECT_EQ(dictGet(done, kHttpReturnData), nullptr);
  EXPECT_EQ(rec.outcome(), kUploadFailNotification);
}

TEST_F(SiteUploadTest, FaultModesGiveThePredictedReplyInfo) {
  SiteProcess site(dir.sub("store"), {"--slow-seconds", "1", "--hang-seconds", "20"});
  ASSERT_TRUE(site.ok());
  struct Case {
    const char* mode;
    long status;          // expected status code, 0 for none
    const char* custom;   // expected custom status, nullptr for none
    const char* message;  // expected message, nullptr: not checked
    bool error;           // transport error expected
    bool success;
    bool silent = false;  // the site never answers: given up the stall time after the last byte
  };
  const std::vector<Case> cases = {
      {"", 200, "OK", "Upload received", false, true},
      {"http500", 500, "OK", nullptr, false, false},
      {"error", 200, "ERROR", nullptr, false, false},
      {"fail", 200, "FAIL", nullptr, false, false},
      {"warning", 200, "Warning", nullptr, false, false},
      {"noemail", 200, "Warning", "No Email Addresses Sent", false, true},
      {"malformed", 200, "FAIL", nullptr, false, false},
      {"onechild", 200, "FAIL", "Not enough data returned...", false, false},
      {"drop", 0, nullptr, nullptr, true, false},
      {"slow", 200, "OK", "Upload received", false, true},
      {"hang", 0, nullptr, nullptr, true, false, true},
      {"plaintext", 200, "FAIL", nullptr, false, false},
      {"twostatus", 200, "FAIL", "OK", false, false},
      {"paddederror", 200, " ERROR ", nullptr, false, false},
      {"oknewline", 200, "OK\n", "Upload received", false, true},
      {"utf8", 200, "OK", "Foto recibida: M\xc3\xbcller \xe2\x9c\x93 \xc2\xa1gracias!", false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    setPref("prefVyrURL", Value(site.url(*c.mode ? std::string("sorvfault=") + c.mode : "")));
    NotificationRecorder rec;
    const auto start = std::chrono::steady_clock::now();
    Dict done = runUpload(makeItem("a.jpg", "JPEG"), rec, /*stall=*/2);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (c.silent) {
      EXPECT_GE(took, 2.0);
      EXPECT_LE(took, 3.5);
    }
    if (c.status)
      EXPECT_EQ(done.at(kHttpStatusCode).integerValue(), c.status);
    else
      EXPECT_EQ(dictGet(done, kHttpStatusCode), nullptr);
    EXPECT_EQ(dictGet(done, kHttpError) != nullptr, c.error);
    if (c.custom) {
      ASSERT_NE(dictGetString(done, kHttpOurCustomStatus), nullptr);
      EXPECT_EQ(*dictGetString(done, kHttpOurCustomStatus), c.custom);
    } else {
      EXPECT_EQ(dictGet(done, kHttpOurCustomStatus), nullptr);
    }
    if (c.message) {
      EXPECT_EQ(*dictGetString(done, kHttpOurCustomMessage), c.message);
    }
    EXPECT_EQ(rec.outcome(), c.success ? kUploadSuccessNotification : kUploadFailNotification);
  }
}

// A body under the upload-rate cap goes out in small pieces: its progress moves at least
// about once a second, so the watchdog can tell a slow upload from a stuck one.
TEST_F(SiteUploadTest, ACappedBodyReportsProgressAsItGoes) {
  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  const std::string file = dir.sub("big.jpg");
  ASSERT_TRUE(writeFile(file, std::string(240 * 1024, 'x')));
  std::string err;
  HttpRequest request;
  request.url = site.url();
  request.headers.emplace_back("Content-Type", "multipart/form-data; boundary=b");
  request.body.appendText(
      "--b\r\nContent-Disposition: form-data; name=\"imgfile\"; "
      "filename=\"big.jpg\"\r\n\r\n");
  request.body.appendFile(HttpBodyFile::open(file, &err));
  request.body.appendText("\r\n--b--\r\n");
  request.maxSendBytesPerSecond = 96 * 1024;
  using SteadyClock = std::chrono::steady_clock;
  const auto start = SteadyClock::now();
  auto seconds = [&] { return std::chrono::duration<double>(SteadyClock::now() - start).count(); };
  request.progress = std::make_shared<UploadProgress>(seconds);
  std::atomic<bool> done{false};
  std::vector<double> moves;  // when the count was seen to change
  std::thread watch([&] {
    std::uint64_t last = 0;
    while (!done) {
      if (request.progress->bytesSent() != last) {
        last = request.progress->bytesSent();
        moves.push_back(seconds());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  HttpResult result = curlHttpTransport().post(request);
  done = true;
  watch.join();
  const double took = seconds();
  EXPECT_FALSE(result.error) << result.error->description;
  EXPECT_EQ(request.progress->bytesSent(), request.body.size());
  ASSERT_GE(moves.size(), 3u);
  double longest = moves.front();
  for (std::size_t i = 1; i < moves.size(); ++i)
    longest = std::max(longest, moves[i] - moves[i - 1]);
  EXPECT_LE(longest, 1.2) << moves.size() << " moves in " << took << " s";
  EXPECT_GE(took, 1.4);  // 240 KiB at 96 KiB/s, the first second's worth at once
}

TEST(ByteWatchTest, FindsTheDelimiterAcrossPieces) {
  const std::string d = kFileDelimiter;
  const struct {
    const char* what;
    std::string before;
    std::vector<std::string> pieces;
    bool found;
  } cases[] = {
      {"inside one piece", "", {"abc" + d + "xyz"}, true},
      {"split across pieces", "", {"abc\r\n--0xKh", "TmLbOuNdArY--"}, true},
      {"split byte by byte", "", {"\r", "\n", "-", "-", "0xKhTmLbOuNdArY"}, true},
      {"completed by the text before", "...jpeg\r\n\r\n", {"--0xKhTmLbOuNdArY"}, true},
      {"boundary without CR LF", "", {"--0xKhTmLbOuNdArY"}, false},
      {"almost", "", {"\r\n--0xKhTmLbOuNdArX", std::string(5000, 'a')}, false},
      {"no bytes", "\r\n", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ByteWatch watch(d);
    watch.reset(c.before);
    bool found = false;
    for (const auto& p : c.pieces) found = watch.feed(p) || found;
    EXPECT_EQ(found, c.found);
  }
}

TEST_F(SiteUploadTest, LoginIsChecked) {
  SiteProcess site(dir.sub("store"), {"--user", "kiosk1", "--password", "right"});
  ASSERT_TRUE(site.ok());
  setPref("prefVyrURL", Value(site.url()));
  NotificationRecorder rec;
  Dict done = runUpload(makeItem("a.jpg", "J"), rec);
  EXPECT_EQ(*dictGetString(done, kHttpOurCustomStatus), "ERROR");
  EXPECT_TRUE(stored().empty());
}

// The order query's two layouts and a hi-res upload, in the shared request shape.
TEST_F(SiteUploadTest, OrderQueryAndHiResUpload) {
  Array orders = {Value(Dict{{"localfilelocation", Value("/Photos/My%20Pic.jpg")},
                             {"orderid", Value("O1")},
                             {"imageid", Value("I1")},
                             {"pictureid", Value("P1")},
                             {"filename", Value("12345678_0003 copy")}})};
  ASSERT_TRUE(plist::writeFileAtomically(dir.sub("orders.plist"), Value(orders)));
  SiteProcess site(dir.sub("store"), {"--orders", dir.sub("orders.plist")});
  ASSERT_TRUE(site.ok());
  auto post = [&](const std::string& fuse, const std::string* file) {
    MultipartForm form;
    form.addField("fuseaction", fuse);
    form.addField("username", "kiosk1");
    form.addField("password", "pw");
    if (file) {
      form.addField("orderid", "O1");
      form.addField("imageid", "I1");
      form.addFilePartHeader("imgfile", "hi.jpg", "image/jpeg");
      form.addFile(HttpBodyFile::open(*file, nullptr));
    }
    form.addClosingLine();
    HttpRequest req;
    req.url = site.url();
    req.headers.emplace_back("Content-Type", multipartContentType());
    req.body = form.body();
    return defaultHttpTransport().post(req);
  };
  HttpResult v3 = post("orders.check", nullptr);
  ASSERT_TRUE(v3.body);
  EXPECT_NE(v3.body->find("<order><localfilelocation>/Photos/My%20Pic.jpg</localfilelocation>"
                          "<orderid>O1</orderid><imageid>I1</imageid><pictureid>P1</pictureid>"
                          "</order>"),
            std::string::npos);
  EXPECT_LT(v3.body->find("</order>"), v3.body->find("<status>OK</status>"));
  HttpResult v4 = post("Orders.V4Check", nullptr);
  ASSERT_TRUE(v4.body);
  EXPECT_NE(v4.body->find("<filename>12345678_0003 copy</filename>"), std::string::npos);
  EXPECT_LT(v4.body->find("<status>OK</status>"), v4.body->find("<image>"));

  std::string hires = dir.sub("hi.jpg");
  writeFile(hires, bytesOf(5000, 9));
  HttpResult up = post("orders.hiresupload", &hires);
  ASSERT_TRUE(up.body);
  EXPECT_EQ(parseUploadReply(*up.body).status, "OK");
  auto folders = stored();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(readFile(folders[0] + "/hi.jpg"), bytesOf(5000, 9));
  HttpResult after = post("orders.v4check", nullptr);
  EXPECT_EQ(after.body->find("<image>"), std::string::npos);
}

}  // namespace
}  // namespace sorv::test
