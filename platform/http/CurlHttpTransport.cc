#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/x509_vfy.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/http/HttpTransport.h"
#include "platform/http/UploadBucket.h"

namespace sorv {
namespace {

constexpr const char* kCurlDomain = "CurlErrorDomain";

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Feeds the body pieces to libcurl in order, reading file bytes only when asked.
struct BodyReader {
  const std::vector<HttpBody::Piece>* pieces = nullptr;
  std::size_t index = 0;
  std::uint64_t offset = 0;  // within the current piece
  bool failed = false;
  bool refused = false;  // a file held the forbidden bytes
  bool repeatable = false;
  bool resendRefused = false;  // the whole body went out before a rewind was asked for
  std::uint64_t total = 0, handed = 0;
  std::uint64_t rate = 0;  // the cap in bytes per second; 0: none
  std::string failure;
  std::optional<ByteWatch> watch;

  std::size_t read(char* buf, std::size_t n) {
    while (index < pieces->size()) {
      const auto& p = (*pieces)[index];
      std::uint64_t len = p.file ? p.file->size() : p.text.size();
      if (offset >= len) {
        ++index;
        offset = 0;
        continue;
      }
      std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, len - offset));
      if (!p.file) {
        std::memcpy(buf, p.text.data() + offset, want);
        offset += want;
        handed += want;
        return want;
      }
      long long got = p.file->readAt(offset, buf, want);
      if (got <= 0) {
        // A read error, or a file that shrank after it was sized: the body cannot be
        // completed with the length already announced.
        failed = true;
        failure = "Error in reading " + p.file->path() + " while sending";
        return CURL_READFUNC_ABORT;
      }
      if (watch) {
        if (offset == 0)
          watch->reset(index > 0 ? std::string_view((*pieces)[index - 1].text)
                                 : std::string_view());
        if (watch->feed(std::string_view(buf, static_cast<std::size_t>(got)))) {
          // These bytes are never handed over, so the body cannot reach its closing line.
          failed = refused = true;
          failure = "The file " + p.file->path() + " holds the form's delimiter";
          return CURL_READFUNC_ABORT;
        }
      }
      offset += static_cast<std::uint64_t>(got);
      handed += static_cast<std::uint64_t>(got);
      return static_cast<std::size_t>(got);
    }
    return 0;
  }

  bool seek(std::uint64_t to) {
    // libcurl rewinds to send the body again on a new connection after a kept one closed
    // without an answer. Only a body that did not go out in full is surely not at the site.
    if (!repeatable && total > 0 && handed >= total) {
      resendRefused = failed = true;
      failure = "The connection closed before the site answered";
      return false;
    }
    handed = to;
    // A rewind sends the body again from the start; the watch starts again with each file.
    index = 0;
    offset = 0;
    while (index < pieces->size()) {
      const auto& p = (*pieces)[index];
      std::uint64_t len = p.file ? p.file->size() : p.text.size();
      if (to < len) {
        offset = to;
        return true;
      }
      to -= len;
      ++index;
    }
    return to == 0;
  }
};

struct ReplySink {
  std::string body;
  bool overflow = false;
  HttpHeaders headers;
};

// Ends a transfer on which no byte has moved either way for the stall time. libcurl calls it
// at least about once a second, also while nothing moves.
struct StallWatch {
  double limit = 60;
  UploadProgress* progress = nullptr;  // told of every body byte sent
  curl_off_t lastDown = -1, lastUp = -1;
  std::chrono::steady_clock::time_point lastMove = std::chrono::steady_clock::now();
  bool stalled = false;
};

int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* w = static_cast<StallWatch*>(user);
  auto now = std::chrono::steady_clock::now();
  if (w->progress) w->progress->sent(static_cast<std::uint64_t>(ulnow));
  if (dlnow != w->lastDown || ulnow != w->lastUp) {
    w->lastDown = dlnow;
    w->lastUp = ulnow;
    w->lastMove = now;
    return 0;
  }
  if (std::chrono::duration<double>(now - w->lastMove).count() < w->limit) return 0;
  w->stalled = true;
  return 1;  // aborts with CURLE_ABORTED_BY_CALLBACK
}

std::size_t onRead(char* buf, std::size_t size, std::size_t nitems, void* user) {
  auto* reader = static_cast<BodyReader*>(user);
  std::size_t n = size * nitems;
  if (reader->rate == 0 || n == 0 || reader->handed >= reader->total) return reader->read(buf, n);
  // Under the cap only what the process's shared budget allows goes out now; the read waits
  // for it in short steps, so the bytes keep moving for the stall watch.
  const auto allowed = static_cast<std::size_t>(
      takeUploadBytes(sharedUploadBucket(), reader->rate,
                      std::min<std::uint64_t>(n, reader->total - reader->handed)));
  std::size_t got = reader->read(buf, allowed);
  if (got == CURL_READFUNC_ABORT)
    sharedUploadBucket().giveBack(allowed);
  else if (got < allowed)
    sharedUploadBucket().giveBack(allowed - got);
  return got;
}

int onSeek(void* user, curl_off_t offset, int origin) {
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  return static_cast<BodyReader*>(user)->seek(static_cast<std::uint64_t>(offset))
             ? CURL_SEEKFUNC_OK
             : CURL_SEEKFUNC_FAIL;
}

std::size_t onWrite(char* data, std::size_t size, std::size_t nmemb, void* user) {
  auto* sink = static_cast<ReplySink*>(user);
  std::size_t n = size * nmemb;
  if (sink->body.size() + n > kMaxHttpReplyBytes) {
    sink->overflow = true;
    return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
  }
  sink->body.append(data, n);
  return n;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t nitems, void* user) {
  auto* sink = static_cast<ReplySink*>(user);
  std::size_t n = size * nitems;
  std::string_view line(data, n);
  if (line.starts_with("HTTP/")) {
    sink->headers.clear();  // a new response (after a 100 Continue or a redirect)
    return n;
  }
  auto colon = line.find(':');
  if (colon == std::string_view::npos || sink->headers.size() >= 200) return n;
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' '))
      s.remove_suffix(1);
    return std::string(s);
  };
  sink->headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  return n;
}

std::string hostOf(const std::string& url) {
  std::string host;
  CURLU* u = curl_url();
  char* part = nullptr;
  if (u && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
    host = part;
    curl_free(part);
  }
  curl_url_cleanup(u);
  return host;
}

// Why the site's certificate was refused, in words for the kiosk's operator.
std::string certificateProblem(CURL* curl, const std::string& host, const char* detail) {
  long verify = X509_V_OK;
  curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verify);
  // libcurl checks the host name itself, after OpenSSL has accepted the chain.
  if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH ||
      std::strstr(detail, "subject name") || std::strstr(detail, "target host"))
    return "the site's certificate is made out for another name than " + host;
  switch (verify) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "the site's certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "the site's certificate is not valid yet (is the kiosk's clock right?)";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "the site's certificate comes from an authority this kiosk does not trust "
             "(a private authority is named by SORV_CA_FILE)";
    default:
      return std::string("the site's certificate was refused: ") + detail;
  }
}

std::string caFileUnreadableText() {
  const char* ca = std::getenv(kCaFileVariable);
  return std::string("No secure connection: the certificate authority file ") + (ca ? ca : "") +
         " (SORV_CA_FILE) cannot be read. Nothing was sent.";
}

// "HTTP 407 Proxy Authentication Required": a proxy's status with its usual words.
std::string proxyStatusText(long code) {
  const char* words = "";
  switch (code) {
    case 400:
      words = " Bad Request";
      break;
    case 403:
      words = " Forbidden";
      break;
    case 404:
      words = " Not Found";
      break;
    case 405:
      words = " Method Not Allowed";
      break;
    case 407:
      words = " Proxy Authentication Required";
      break;
    case 408:
      words = " Request Timeout";
      break;
    case 500:
      words = " Internal Server Error";
      break;
    case 502:
      words = " Bad Gateway";
      break;
    case 503:
      words = " Service Unavailable";
      break;
    case 504:
      words = " Gateway Timeout";
      break;
    default:
      break;
  }
  return "HTTP " + std::to_string(code) + words;
}

// The proxy libcurl takes from the environment for url, as host and port ("" when none): the
// scheme's variable (only the lower-case http_proxy, as for curl), then all_proxy.
std::pair<std::string, long> proxyOf(const std::string& url) {
  const bool https = strncasecmp(url.c_str(), "https://", 8) == 0;
  const char* names[] = {https ? "https_proxy" : "http_proxy", https ? "HTTPS_PROXY" : nullptr,
                         "all_proxy", "ALL_PROXY"};
  for (const char* name : names) {
    const char* value = name ? std::getenv(name) : nullptr;
    if (!value || !*value) continue;
    std::pair<std::string, long> at{"", 0};
    CURLU* u = curl_url();
    char* part = nullptr;
    if (u && curl_url_set(u, CURLUPART_URL, value, CURLU_GUESS_SCHEME) == CURLUE_OK) {
      if (curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
        at.first = part;
        curl_free(part);
      }
      if (curl_url_get(u, CURLUPART_PORT, &part, 0) == CURLUE_OK) {
        at.second = std::atol(part);
        curl_free(part);
      } else {
        at.second = 1080;  // libcurl's port for a proxy that names none
      }
    }
    curl_url_cleanup(u);
    return at;
  }
  return {"", 0};
}

// libcurl names the host it could not reach, which is the proxy's when one is used: say so.
std::string namingTheProxy(const std::string& detail, const std::string& url) {
  auto [host, port] = proxyOf(url);
  if (host.empty()) return detail;
  const std::string failed = "Failed to connect to ";
  const std::string named = host + " port " + std::to_string(port) + " ";
  if (detail.compare(0, failed.size(), failed) != 0 ||
      detail.compare(failed.size(), named.size(), named) != 0)
    return detail;
  return failed + "the proxy " + detail.substr(failed.size());
}

// The failure of a send as the status line shows it.
std::string failureText(CURL* curl, CURLcode rc, const char* errbuf, const std::string& url) {
  const char* detail = errbuf[0] ? errbuf : curl_easy_strerror(rc);
  std::string host = hostOf(url);
  switch (rc) {
    case CURLE_PEER_FAILED_VERIFICATION:
      return "No secure connection to " + host + ": " + certificateProblem(curl, host, detail) +
             ". Nothing was sent.";
    case CURLE_SSL_CACERT_BADFILE:
      return caFileUnreadableText();
    case CURLE_SSL_CONNECT_ERROR:
      return "No secure connection to " + host + " could be made (" + detail +
             "). Nothing was sent.";
    case CURLE_COULDNT_CONNECT:
      return namingTheProxy(detail, url);
    default:
      break;
  }
  return detail;
}

// An answer of the proxy rather than the site, as an error of kProxyRefusedDomain; nullopt
// when the site answered or the proxy played no part. A 407 is always the proxy's: a site is
// not a proxy and has no reason to ask for a proxy's password.
std::optional<HttpError> proxyRefusal(CURL* curl, CURLcode rc, long status, const char* errbuf,
                                      const std::string& url) {
  if (status == 407)
    return HttpError{
        407, kProxyRefusedDomain,
        "The proxy refused the upload (" + proxyStatusText(407) + "). Nothing was sent."};
  if (rc == CURLE_OK) return std::nullopt;
  long connectCode = 0;
  curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectCode);
  if (connectCode >= 300)
    return HttpError{connectCode, kProxyRefusedDomain,
                     "The proxy refused the connection to " + hostOf(url) + " (" +
                         proxyStatusText(connectCode) + "). Nothing was sent."};
  long socks = CURLPX_OK;
  curl_easy_getinfo(curl, CURLINFO_PROXY_ERROR, &socks);
  if (socks != CURLPX_OK)
    return HttpError{0, kProxyRefusedDomain,
                     "The proxy refused the connection to " + hostOf(url) + " (" +
                         (errbuf[0] ? errbuf : curl_easy_strerror(rc)) + "). Nothing was sent."};
  return std::nullopt;
}

// Kept connections outlive the request, so programs the agent starts must not inherit them.
int onSocket(void*, curl_socket_t fd, curlsocktype) {
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return CURL_SOCKOPT_OK;
}

// The seconds a site keeps an idle connection open, from its "Keep-Alive: timeout=N"; -1 when
// it does not say.
double keepAliveTimeout(const HttpHeaders& headers) {
  for (const auto& [name, value] : headers) {
    if (strcasecmp(name.c_str(), "Keep-Alive") != 0) continue;
    auto at = value.find("timeout=");
    if (at != std::string::npos) return std::atof(value.c_str() + at + 8);
  }
  return -1;
}

}  // namespace

bool readCertificateAuthorityFile(const std::string& path, std::string* bytes, std::string* err) {
  bytes->clear();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *err = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) {
    *err = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    ok = false;
    *err = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
  } else if (static_cast<std::uint64_t>(st.st_size) > kMaxCaFileBytes) {
    ok = false;
    *err = "it is larger than " + std::to_string(kMaxCaFileBytes) + " bytes";
  }
  char buf[64 * 1024];
  while (ok) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      *err = std::strerror(errno);
    } else if (n == 0) {
      break;
    } else if (bytes->size() + static_cast<std::size_t>(n) > kMaxCaFileBytes) {
      ok = false;  // it grew while it was read
      *err = "it is larger than " + std::to_string(kMaxCaFileBytes) + " bytes";
    } else {
      bytes->append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (!ok) bytes->clear();
  return ok;
}

struct CurlHttpTransport::Kept {
  std::string name;
  CURL* curl = nullptr;
  bool busy = false;
  std::chrono::steady_clock::time_point lastUse{};
  double siteIdleSeconds = -1;  // how long the site keeps an idle connection; -1: not said
};

CurlHttpTransport::CurlHttpTransport() = default;

CurlHttpTransport::~CurlHttpTransport() {
  for (auto& k : kept_) curl_easy_cleanup(k->curl);
}

CurlHttpTransport::Kept* CurlHttpTransport::checkOut(const std::string& name) {
  if (name.empty()) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& k : kept_) {
    if (k->name != name) continue;
    if (k->busy) return nullptr;  // a second request at once gets a connection of its own
    k->busy = true;
    return k.get();
  }
  CURL* curl = curl_easy_init();
  if (!curl) return nullptr;
  kept_.push_back(std::make_unique<Kept>(Kept{name, curl, true}));
  return kept_.back().get();
}

void CurlHttpTransport::checkIn(Kept* kept) {
  std::lock_guard<std::mutex> lock(mutex_);
  kept->busy = false;
  kept->lastUse = std::chrono::steady_clock::now();
}

HttpResult CurlHttpTransport::post(const HttpRequest& request) {
  initCurlOnce();
  HttpResult result;
  // The authority bundle is read here, not by libcurl, so that only a regular file is read
  // and nothing blocks on a FIFO or a device. It matters only to https:// addresses.
  std::string caBundle;
  const char* ca = std::getenv(kCaFileVariable);
  const bool useCaFile = ca && *ca && strncasecmp(request.url.c_str(), "https://", 8) == 0;
  if (std::string why; useCaFile && !readCertificateAuthorityFile(ca, &caBundle, &why)) {
    result.error = HttpError{CURLE_SSL_CACERT_BADFILE, kCurlDomain, caFileUnreadableText()};
    return result;
  }
  Kept* kept = checkOut(request.connection);
  CURL* curl = kept ? kept->curl : curl_easy_init();
  if (!curl) {
    result.error = HttpError{CURLE_FAILED_INIT, kCurlDomain, "Unable to start a connection"};
    return result;
  }
  // Options go back to their defaults; the handle's open connections and TLS sessions stay.
  if (kept) curl_easy_reset(curl);
  BodyReader reader;
  reader.pieces = &request.body.pieces();
  reader.total = request.body.size();
  reader.repeatable = request.repeatable;
  reader.rate = request.maxSendBytesPerSecond;
  if (!request.forbiddenInFiles.empty()) reader.watch.emplace(request.forbiddenInFiles);
  StallWatch stallWatch;
  stallWatch.limit = request.stallTimeoutSeconds > 0 ? request.stallTimeoutSeconds : 60;
  stallWatch.progress = request.progress.get();
  ReplySink sink;
  char errbuf[CURL_ERROR_SIZE] = {0};

  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers)
    headers = curl_slist_append(headers, (name + ": " + value).c_str());
  // libcurl would add these on its own; the request carries only Content-Type.
  headers = curl_slist_append(headers, "Expect:");
  headers = curl_slist_append(headers, "Accept:");

  long stall = request.stallTimeoutSeconds < 1 ? 1 : static_cast<long>(request.stallTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, onRead);
  curl_easy_setopt(curl, CURLOPT_READDATA, &reader);
  curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, onSeek);
  curl_easy_setopt(curl, CURLOPT_SEEKDATA, &reader);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onWrite);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, stall);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &stallWatch);
  // Never another scheme (file://, ftp://, ...), neither asked for nor by a redirect.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kAllowedUrlSchemes);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedUrlSchemes);
  curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024L);
  curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, onSocket);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (useCaFile) {
    curl_blob blob{caBundle.data(), caBundle.size(), CURL_BLOB_COPY};
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
  }
  if (kept && kept->siteIdleSeconds >= 0) {
    // A connection the site is about to close is not worth the race with its close.
    double idle =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - kept->lastUse).count();
    if (idle >= kept->siteIdleSeconds - 0.5) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  }

  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0)
    result.statusCode = status;
  if (kept) kept->siteIdleSeconds = keepAliveTimeout(sink.headers);
  result.responseHeaders = std::move(sink.headers);

  std::optional<HttpError> refusal;
  if (!reader.refused) refusal = proxyRefusal(curl, rc, status, errbuf, request.url);
  if (refusal) {
    // Not the site's answer: no status, headers or body of the site's.
    result.statusCode.reset();
    result.responseHeaders.clear();
    result.error = std::move(refusal);
  } else if (rc == CURLE_OK) {
    result.body = std::move(sink.body);
  } else {
    std::string text;
    if (sink.overflow)
      text = "The reply is larger than " + std::to_string(kMaxHttpReplyBytes) + " bytes";
    else if (reader.failed)
      text = reader.failure;
    else if (stallWatch.stalled)
      text = "The request timed out: nothing was sent or received for " +
             std::to_string(static_cast<long>(stallWatch.limit)) + " seconds";
    else
      text = failureText(curl, rc, errbuf, request.url);
    result.error =
        HttpError{static_cast<long>(rc), reader.refused ? kBodyRefusedDomain : kCurlDomain, text};
  }
  curl_slist_free_all(headers);
  if (kept) {
    curl_easy_reset(curl);  // drops the pointers to this call's buffers
    checkIn(kept);
  } else {
    curl_easy_cleanup(curl);
  }
  return result;
}

bool sendsInClearToAnotherHost(const std::string& url) {
  if (url.size() < 7 || strncasecmp(url.c_str(), "http://", 7) != 0) return false;
  std::string host = hostOf(url);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !(host == "localhost" || host.starts_with("127.") || host == "[::1]" || host == "::1");
}

// The address of the site's root: url's scheme, host and port with the path "/".
std::string siteRootOf(const std::string& url) {
  std::string root = url;
  CURLU* u = curl_url();
  char* full = nullptr;
  if (u && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_PATH, "/", 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_QUERY, nullptr, 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_FRAGMENT, nullptr, 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK) {
    root = full;
    curl_free(full);
  }
  curl_url_cleanup(u);
  return root;
}

std::optional<std::string> probeSiteConnection(const std::string& url, double timeoutSeconds) {
  initCurlOnce();
  CURL* curl = curl_easy_init();
  if (!curl) return std::string("Unable to start a connection");
  char errbuf[CURL_ERROR_SIZE] = {0};
  auto millis = static_cast<long>(timeoutSeconds > 0.1 ? timeoutSeconds * 1000 : 100);
  const bool tls = strncasecmp(url.c_str(), "https://", 8) == 0;
  if (tls) {
    // The TLS handshake is the site's answer; the request itself is never written.
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
  } else {
    // Over plain http a connection alone proves nothing (a hung server still accepts it): the
    // site must answer a HEAD request for its root, with any status.
    curl_easy_setopt(curl, CURLOPT_URL, siteRootOf(url).c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  }
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, millis);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, millis);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kAllowedUrlSchemes);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* ca = std::getenv(kCaFileVariable); ca && *ca)
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t connectedAfter = 0;
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectedAfter);
  std::optional<std::string> why;
  if (rc == CURLE_OPERATION_TIMEDOUT && !tls && connectedAfter > 0 && status == 0) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(millis) / 1000);
    why = hostOf(url) + " took the connection but did not answer a HEAD request within " + seconds +
          " seconds";
  } else if (rc != CURLE_OK && status == 0) {
    why = failureText(curl, rc, errbuf, url);
  }
  curl_easy_cleanup(curl);
  return why;
}

HttpTransport& curlHttpTransport() {
  static CurlHttpTransport* curl = new CurlHttpTransport;
  return *curl;
}

}  // namespace sorv
