#include "site/SiteServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/Plist.h"

namespace sorv::site {
namespace {

constexpr std::size_t kMaxFieldBytes = 1 << 20;
constexpr std::size_t kMaxAllFieldBytes = 8 << 20;
constexpr std::size_t kMaxParts = 1000;

bool equalsIgnoringCase(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

bool containsIgnoringCase(std::string s, const char* needle) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s.find(needle) != std::string::npos;
}

std::string firstValue(const std::vector<ReceivedPart>& parts, const char* name) {
  for (const auto& p : parts)
    if (!p.isFile() && p.name == name) return p.value;
  return "";
}

const ReceivedPart* firstFilePart(const std::vector<ReceivedPart>& parts, const char* name) {
  for (const auto& p : parts)
    if (p.isFile() && p.name == name) return &p;
  return nullptr;
}

// A request log field on one line: control bytes, DEL and the backslash as "\xHH".
std::string logField(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f || c == '\\') {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

Dict headerDict(const httplib::Request& req) {
  Dict d;
  for (const auto& [name, value] : req.headers) {
    // cpp-httplib adds the two ends of the connection as headers of its own.
    if (name == "LOCAL_ADDR" || name == "LOCAL_PORT" || name == "REMOTE_ADDR" ||
        name == "REMOTE_PORT")
      continue;
    auto it = d.find(name);
    if (it == d.end())
      d[name] = Value(value);
    else
      it->second = Value(*it->second.asString() + ", " + value);
  }
  return d;
}

std::string htmlEscape(const std::string& s) {
  return xmlEscape(s);
}

// Receives the multipart body: text fields into memory (bounded), files straight to disk.
class PartReceiver {
 public:
  explicit PartReceiver(IncomingUpload* incoming) : incoming_(incoming) {}
  ~PartReceiver() { closeFile(); }

  bool onHeader(const httplib::MultipartFormData& h) {
    closeFile();
    if (parts_.size() >= kMaxParts) return false;
    ReceivedPart p;
    p.name = h.name;
    if (!h.filename.empty()) {
      if (!incoming_) return false;
      p.fileName = h.filename;
      p.contentType = h.content_type;
      p.storedName = incoming_->fileNameFor(h.name, h.filename);
      file_ = std::fopen((incoming_->folder() + "/" + p.storedName).c_str(), "wb");
      if (!file_) return false;
    }
    parts_.push_back(std::move(p));
    return true;
  }

  bool onData(const char* data, std::size_t n) {
    if (parts_.empty()) return true;
    ReceivedPart& p = parts_.back();
    if (p.isFile()) {
      p.size += n;
      return file_ && std::fwrite(data, 1, n, file_) == n;
    }
    textBytes_ += n;
    if (p.value.size() + n > kMaxFieldBytes || textBytes_ > kMaxAllFieldBytes) return false;
    p.value.append(data, n);
    return true;
  }

  bool finish() { return closeFile(); }
  const std::vector<ReceivedPart>& parts() const { return parts_; }

 private:
  bool closeFile() {
    if (!file_) return true;
    bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }

  IncomingUpload* incoming_;
  std::vector<ReceivedPart> parts_;
  std::FILE* file_ = nullptr;
  std::size_t textBytes_ = 0;
};

}  // namespace

std::string statusReply(const std::string& status, const std::string& message) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<reply><status>" + xmlEscape(status) +
         "</status><message>" + xmlEscape(message) + "</message></reply>\n";
}

SiteServer::SiteServer(SiteOptions options) : options_(std::move(options)), store_(options_.store) {
  if (!options_.tlsCert.empty() && !options_.tlsKey.empty()) {
    server_ =
        std::make_unique<httplib::SSLServer>(options_.tlsCert.c_str(), options_.tlsKey.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  server_->set_keep_alive_max_count(
      static_cast<std::size_t>(std::max(1, options_.keepAliveRequests)));
  server_->set_keep_alive_timeout(std::max(1, options_.keepAliveSeconds));
  // A reply goes out in more than one write; without this, each reply on a kept connection
  // waits for the client's delayed acknowledgement (about 40 ms), as no web server lets it.
  server_->set_tcp_nodelay(true);
  server_->set_payload_max_length(std::size_t{1} << 40);
  server_->set_read_timeout(60, 0);
  server_->set_write_timeout(60, 0);
  server_->Post(".*",
                [this](const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader) { handlePost(req, res, reader); });
  server_->Get(
      "/", [this](const httplib::Request& req, httplib::Response& res) { handleIndex(req, res); });
  server_->Get(
      R"(/files/([^/]+)/([^/]+))",
      [this](const httplib::Request& req, httplib::Response& res) { handleFile(req, res); });
}

SiteServer::~SiteServer() = default;

int SiteServer::bind(std::string* err) {
  if (!server_->is_valid()) {
    if (err)
      *err = "cannot use the certificate " + options_.tlsCert + " and key " + options_.tlsKey;
    return -1;
  }
  if (!options_.orders.empty() && !orders_.load(options_.orders, err)) return -1;
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else {
    port_ = server_->bind_to_port("127.0.0.1", options_.port) ? options_.port : -1;
  }
  if (port_ <= 0 && err) *err = "cannot listen on 127.0.0.1:" + std::to_string(options_.port);
  return port_ > 0 ? port_ : -1;
}

void SiteServer::run() {
  server_->listen_after_bind();
}

void SiteServer::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  server_->stop();
}

void SiteServer::hang() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopped_.wait_for(lock, std::chrono::duration<double>(options_.hangSeconds),
                    [this] { return stopping_; });
}

// Closes the request's connection without an answer. cpp-httplib keeps the socket to
// itself, so it is found by its two ends among our descriptors and shut down (not closed:
// the library still owns and closes it).
void SiteServer::dropConnection(const httplib::Request& req) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return;
  while (dirent* e = ::readdir(dir)) {
    int fd = std::atoi(e->d_name);
    if (fd <= 2) continue;
    sockaddr_in peer{}, self{};
    socklen_t plen = sizeof peer, slen = sizeof self;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0) continue;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &slen) != 0) continue;
    if (peer.sin_family != AF_INET || ntohs(peer.sin_port) != req.remote_port) continue;
    if (ntohs(self.sin_port) != port_) continue;
    ::shutdown(fd, SHUT_RDWR);
  }
  ::closedir(dir);
}

void SiteServer::reply(httplib::Response& res, const std::string& xml, bool slow) {
  if (!slow) {
    res.set_content(xml, "text/xml");
    return;
  }
  // A reply that keeps moving but takes slowSeconds to arrive, in four pieces.
  auto body = std::make_shared<std::string>(xml);
  double pause = options_.slowSeconds / 4;
  res.set_content_provider(body->size(), "text/xml",
                           [body, pause](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             std::this_thread::sleep_for(std::chrono::duration<double>(pause));
                             std::size_t piece = std::max<std::size_t>(1, body->size() / 4);
                             std::size_t n = std::min(piece, body->size() - offset);
                             sink.write(body->data() + offset, n);
                             return true;
                           });
}

void SiteServer::endlessReply(httplib::Response& res, const std::string& mode) {
  const std::size_t total = mode == "bigbody" ? (100u << 20) : 0;
  res.set_chunked_content_provider("text/xml", [this, mode, total, sent = std::size_t{0}](
                                                   std::size_t, httplib::DataSink& sink) mutable {
    static const std::string kChunk(64 * 1024, ' ');
    if (mode == "silence" || mode == "trickle") {
      std::unique_lock<std::mutex> lock(mutex_);
      double wait = mode == "silence" ? options_.hangSeconds : 2.0;
      if (stopped_.wait_for(lock, std::chrono::duration<double>(wait),
                            [this] { return stopping_; }) ||
          mode == "silence") {
        sink.done();
        return true;
      }
      return sink.write(" ", 1);
    }
    if (total && sent >= total) {
      sink.done();
      return true;
    }
    sent += kChunk.size();
    return sink.write(kChunk.data(), kChunk.size());
  });
}

void SiteServer::logRequest(const std::string& fuseAction, const std::string& fileName,
                            const std::string& fault, const char* outcome) {
  appendLine(".requests.log", logField(fuseAction) + "\t" + logField(fileName) + "\t" +
                                  (fault.empty() ? "-" : logField(fault)) + "\t" + outcome + "\n");
}

void SiteServer::logConnection(const httplib::Request& req, const std::string& fuseAction) {
  appendLine(".connections.log",
             std::to_string(req.remote_port) + "\t" + logField(fuseAction) + "\n");
}

void SiteServer::appendLine(const char* file, const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex_);
  // Opened for each line so that a log removed or replaced while running is recreated.
  int fd =
      ::open((store_.root() + "/" + file).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (std::size_t done = 0; done < line.size();) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

void SiteServer::handlePost(const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader& reader) {
  std::string fault =
      req.has_param("sorvfault") ? req.get_param_value("sorvfault") : options_.fault;
  if (!req.is_multipart_form_data()) {
    std::size_t seen = 0;
    reader([&](const char*, std::size_t n) { return (seen += n) < kMaxAllFieldBytes; });
    logRequest("", "", "", "refused");
    reply(res, statusReply("FAIL", "Expected a multipart/form-data body"), false);
    return;
  }
  std::unique_ptr<IncomingUpload> incoming = store_.begin();
  PartReceiver receiver(incoming.get());
  bool complete = reader([&](const httplib::MultipartFormData& h) { return receiver.onHeader(h); },
                         [&](const char* data, std::size_t n) { return receiver.onData(data, n); });
  complete = receiver.finish() && complete;
  const auto& parts = receiver.parts();
  std::string fuseAction = firstValue(parts, "fuseaction");
  const ReceivedPart* image = firstFilePart(parts, "imgfile");
  std::string fileName = image ? image->fileName : "";
  logConnection(req, fuseAction);
  if (!complete) {
    logRequest(fuseAction, fileName, "", "incomplete");
    res.status = 400;
    reply(res, statusReply("FAIL", "The upload did not arrive complete"), false);
    return;
  }
  if (options_.faultOnly && (!image || fileName.find(*options_.faultOnly) == std::string::npos))
    fault.clear();
  if (!fault.empty() && options_.faultEvery > 1 &&
      (faultCandidates_.fetch_add(1) + 1) % options_.faultEvery != 0)
    fault.clear();
  if (!fault.empty() && options_.faultTimes > 0 &&
      faultsApplied_.fetch_add(1) >= options_.faultTimes)
    fault.clear();
  std::fprintf(stderr, "sorv-site: POST %s fuseaction=%s parts=%zu fault=%s\n", req.path.c_str(),
               fuseAction.c_str(), parts.size(), fault.c_str());

  bool slow = false, noEmail = false;
  std::string okStatus = "OK", okMessage;  // an empty okMessage keeps the usual one
  auto refuse = [&](const std::string& xml) {
    logRequest(fuseAction, fileName, fault, "refused");
    reply(res, xml, slow);
  };
  if (fault == "hang") {
    logRequest(fuseAction, fileName, fault, "held");
    hang();
    dropConnection(req);
    return;
  } else if (fault == "drop") {
    logRequest(fuseAction, fileName, fault, "dropped");
    dropConnection(req);
    return;
  } else if (fault == "http500") {
    res.status = 500;
    return refuse(statusReply("OK", "Upload received"));
  } else if (fault == "http429" || fault == "http503") {
    res.status = fault == "http429" ? 429 : 503;
    if (!options_.retryAfter.empty()) res.set_header("Retry-After", options_.retryAfter);
    return refuse(statusReply("FAIL", "The service is busy"));
  } else if (fault == "error") {
    return refuse(statusReply("ERROR", "The service is not taking uploads"));
  } else if (fault == "paddederror") {
    return refuse(statusReply(" ERROR ", "The service is not taking uploads"));
  } else if (fault == "fail") {
    return refuse(statusReply("FAIL", "The upload was refused"));
  } else if (fault == "warning") {
    return refuse(statusReply("Warning", "The photo was not accepted"));
  } else if (fault == "malformed") {
    return refuse("<reply><status>OK</status><message>Upload received</reply>");
  } else if (fault == "onechild") {
    return refuse("<reply><status>OK</status></reply>");
  } else if (fault == "twostatus") {
    return refuse(
        "<reply><status>FAIL</status><status>OK</status><message>Upload received</message>"
        "</reply>");
  } else if (fault == "plaintext") {
    logRequest(fuseAction, fileName, fault, "refused");
    res.set_content("OK", "text/plain");
    return;
  } else if (fault == "bigbody" || fault == "endless" || fault == "silence" || fault == "trickle") {
    // Replies that never make a usable answer: 100 MB, a body that never ends, headers and then
    // nothing, one byte every two seconds. Nothing is stored.
    logRequest(fuseAction, fileName, fault, "refused");
    endlessReply(res, fault);
    return;
  } else if (fault == "redirect") {
    logRequest(fuseAction, fileName, fault, "refused");
    res.status = 302;
    res.set_header("Location", "http://sorv-elsewhere.invalid/upload");
    res.set_content("<reply><status>OK</status><message>Moved</message></reply>", "text/xml");
    return;
  } else if (fault == "slow") {
    slow = true;
  } else if (fault == "noemail") {
    noEmail = true;
  } else if (fault == "oknewline") {
    okStatus = "OK\n";
  } else if (fault == "utf8") {
    okMessage = "Foto recibida: Müller ✓ ¡gracias!";  // UTF-8 bytes, as the source file is
  } else if (!fault.empty()) {
    return refuse(statusReply("FAIL", "Unknown fault mode " + fault));
  }

  if (!options_.user.empty() && (firstValue(parts, "username") != options_.user ||
                                 firstValue(parts, "password") != options_.password)) {
    return refuse(statusReply("ERROR", "Invalid username or password"));
  }

  bool isQuery = containsIgnoringCase(fuseAction, "check");
  if (isQuery) return refuse(orders_.replyXml(equalsIgnoringCase(fuseAction, "orders.v4check")));

  bool isHiRes = containsIgnoringCase(fuseAction, "hires") ||
                 (!firstValue(parts, "imageid").empty() && firstValue(parts, "client").empty());
  if (!image || !incoming) return refuse(statusReply("FAIL", "No image file received"));
  std::string stored =
      store_.commit(*incoming, isHiRes ? "hires" : "photo", parts, headerDict(req));
  if (stored.empty()) return refuse(statusReply("FAIL", "The upload could not be stored"));
  if (isHiRes) orders_.fulfil(firstValue(parts, "imageid"));
  logRequest(fuseAction, fileName, fault, "stored");
  std::fprintf(stderr, "sorv-site: stored %s\n", stored.c_str());
  if (isHiRes) {
    return reply(
        res, statusReply(okStatus, okMessage.empty() ? "Hi-res image received" : okMessage), slow);
  }
  if (noEmail) return reply(res, statusReply("Warning", "No Email Addresses Sent"), slow);
  reply(res, statusReply(okStatus, okMessage.empty() ? "Upload received" : okMessage), slow);
}

void SiteServer::handleIndex(const httplib::Request&, httplib::Response& res) {
  std::string html =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>sorv-site</title>"
      "<style>body{font-family:sans-serif} td{vertical-align:top;padding:4px}</style>"
      "</head><body><h1>Received uploads</h1><table border=\"1\">";
  for (const auto& name : store_.list()) {
    auto v = plist::parseFile(store_.root() + "/" + name + "/fields.plist");
    const Dict* top = v ? v->asDict() : nullptr;
    html += "<tr><td>" + htmlEscape(name) + "<br>";
    if (top && dictGetString(*top, "kind")) html += htmlEscape(*dictGetString(*top, "kind"));
    html += "</td><td>";
    std::string files;
    if (const Array* parts = top ? dictGetArray(*top, "parts") : nullptr) {
      for (const auto& pv : *parts) {
        const Dict* p = pv.asDict();
        if (!p || !dictGetString(*p, "name")) continue;
        const std::string& field = *dictGetString(*p, "name");
        if (const std::string* stored = dictGetString(*p, "stored")) {
          std::string url = "/files/" + name + "/" + *stored;
          const std::string* type = dictGetString(*p, "contentType");
          if (type && type->starts_with("image/"))
            files += "<a href=\"" + url + "\"><img src=\"" + url + "\" width=\"160\"></a> ";
          else
            files += "<a href=\"" + url + "\">" + htmlEscape(*stored) + "</a> ";
        } else if (field != "password" && field != "code" && field != "metadata") {
          const std::string* value = dictGetString(*p, "value");
          html += htmlEscape(field) + " = " + htmlEscape(value ? *value : "") + "<br>";
        }
      }
    }
    html += "</td><td>" + files + "</td></tr>";
  }
  html += "</table></body></html>";
  res.set_content(html, "text/html; charset=utf-8");
}

void SiteServer::handleFile(const httplib::Request& req, httplib::Response& res) {
  std::string folder = req.matches[1], file = req.matches[2];
  bool known = false;
  for (const auto& name : store_.list()) known = known || name == folder;
  if (!known || file != safeFileName(file) || file == "fields.plist") {
    res.status = 404;
    return;
  }
  std::string path = store_.root() + "/" + folder + "/" + file;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    res.status = 404;
    return;
  }
  auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
  std::string type = "application/octet-stream";
  std::string lower = file;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.ends_with(".png")) type = "image/png";
  if (lower.ends_with(".jpg") || lower.ends_with(".jpeg")) type = "image/jpeg";
  if (lower.ends_with(".mov")) type = "video/quicktime";
  res.set_content_provider(static_cast<std::size_t>(st.st_size), type,
                           [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                             char buf[64 * 1024];
                             in->seekg(static_cast<std::streamoff>(offset));
                             in->read(buf,
                                      static_cast<std::streamsize>(std::min(length, sizeof buf)));
                             std::streamsize got = in->gcount();
                             if (got <= 0) return false;
                             sink.write(buf, static_cast<std::size_t>(got));
                             return true;
                           });
}

}  // namespace sorv::site
