// The synchronous HTTP POST behind one narrow interface, so that tests can record or replace
// what goes over the wire. The body is a sequence of in-memory pieces and open files; file
// bytes are read only as the transport sends them, so memory does not grow with file sizes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sorv {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// A file opened for reading, with the size taken when it was opened. Owns the descriptor.
class HttpBodyFile {
 public:
  // Which file was opened, as it was then: a path that still names the same file with the
  // same size and modification time names the bytes that were sent.
  struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
  };

  // Opens a regular file; nullptr with *err set (errno text) when it cannot be opened,
  // is not a regular file, or cannot be sized.
  static std::unique_ptr<HttpBodyFile> open(const std::string& path, std::string* err);
  ~HttpBodyFile();
  HttpBodyFile(const HttpBodyFile&) = delete;
  HttpBodyFile& operator=(const HttpBodyFile&) = delete;

  std::uint64_t size() const { return size_; }
  const Identity& openedAs() const { return openedAs_; }
  const std::string& path() const { return path_; }
  // Reads up to n bytes at offset; returns the count (0 at the end), or -1 on an error.
  long long readAt(std::uint64_t offset, char* buf, std::size_t n) const;

 private:
  HttpBodyFile(int fd, const Identity& openedAs, std::string path);
  int fd_;
  std::uint64_t size_;
  Identity openedAs_;
  std::string path_;
};

// The request body: pieces sent in order. Files are shared so that a body can be copied
// for a debug dump while the request still holds it.
class HttpBody {
 public:
  struct Piece {
    std::string text;                    // used when file is null
    std::shared_ptr<HttpBodyFile> file;  // the whole file, size fixed at open
  };

  void appendText(std::string_view bytes);
  void appendFile(std::shared_ptr<HttpBodyFile> file);
  const std::vector<Piece>& pieces() const { return pieces_; }
  std::uint64_t size() const;

 private:
  std::vector<Piece> pieces_;
};

// How far a request's body has gone out, for a watcher on another thread: the bytes handed to
// the connection so far and when that count last changed, on the clock the creator gives.
class UploadProgress {
 public:
  // now: the watcher's clock in seconds; the count is taken to have last moved at creation.
  explicit UploadProgress(std::function<double()> now);
  // The transport's report of the body bytes sent so far; a new count is a move.
  void sent(std::uint64_t total);
  std::uint64_t bytesSent() const { return sent_.load(); }
  // When the count last changed (or the creation time).
  double lastMove() const { return lastMove_.load(); }

 private:
  std::function<double()> now_;
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<double> lastMove_;
};

struct HttpRequest {
  std::string url;
  HttpHeaders headers;  // sent as given; the transport adds only Host and Content-Length
  HttpBody body;
  // A connection that makes no progress for this long fails (connect, and no bytes either
  // way); counted from the last byte sent or received, so a transfer that keeps moving has
  // no limit.
  double stallTimeoutSeconds = 60;
  // Bytes that no file piece may contain, also together with the text just before it. A
  // file that holds them stops the send before the rest of the body goes out, with an error
  // of kBodyRefusedDomain. Empty: no watch.
  std::string forbiddenInFiles;
  // Requests that name the same connection take turns on one kept connection (and its TLS
  // session) while the site keeps it open; different names never share one. Empty: a new
  // connection, closed after the request.
  std::string connection;
  // Whether the body may reach the site twice (a query). When false, a kept connection that
  // closes without an answer after the whole body went out ends the request with an error
  // instead of sending the body again on a new connection: the site may have taken it.
  bool repeatable = false;
  // The cap in bytes per second on the body, drawn from the budget that every capped request
  // of the process shares (platform/http/UploadBucket.h); 0: no cap.
  std::uint64_t maxSendBytesPerSecond = 0;
  // When set, the transport reports the body bytes sent to it as they go out.
  std::shared_ptr<UploadProgress> progress;
};

// Only these URL schemes are used, for the request and any redirect.
inline constexpr const char* kAllowedUrlSchemes = "http,https";
// The error domain of a send stopped because a file held HttpRequest::forbiddenInFiles.
inline constexpr const char* kBodyRefusedDomain = "SorvBodyRefusedDomain";
// The error domain of an answer that came from the proxy, not the site (its 407, a refused
// CONNECT, a SOCKS refusal); the code is the proxy's HTTP status, or 0 when it has none. Nothing
// reached the site.
inline constexpr const char* kProxyRefusedDomain = "SorvProxyRefusedDomain";

// Finds a byte sequence in a stream fed in pieces, across the pieces' edges.
class ByteWatch {
 public:
  explicit ByteWatch(std::string needle) : needle_(std::move(needle)) {}
  // Starts a new stream whose bytes follow `before` (only its tail matters).
  void reset(std::string_view before);
  // Feeds the next bytes; true once the needle has been seen.
  bool feed(std::string_view bytes);

 private:
  std::string needle_;
  std::string tail_;  // the last needle_.size() - 1 bytes fed
};

struct HttpError {
  long code = 0;            // the transport's own code
  std::string domain;       // which transport the code belongs to
  std::string description;  // readable text for logs and the status line
};

struct HttpResult {
  std::optional<long> statusCode;   // set when a response (status line) came back
  HttpHeaders responseHeaders;      // in the order received
  std::optional<std::string> body;  // set when the send returned a body (may be empty)
  std::optional<HttpError> error;   // set when the send failed
};

// Replies longer than this are cut off and reported as an error.
inline constexpr std::size_t kMaxHttpReplyBytes = 4 * 1024 * 1024;

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // Sends the POST and blocks until the reply, an error or a stall. Safe from any thread;
  // one call per request. The body's files must stay unchanged while it runs.
  virtual HttpResult post(const HttpRequest& request) = 0;
};

// The libcurl transport. Initialises libcurl once per process on first use. Peer and host
// name are always verified; the system's trust store is used, or the PEM bundle named by
// SORV_CA_FILE. Proxies come from https_proxy, http_proxy and no_proxy, as for curl.
class CurlHttpTransport : public HttpTransport {
 public:
  CurlHttpTransport();
  ~CurlHttpTransport() override;
  HttpResult post(const HttpRequest& request) override;

 private:
  struct Kept;
  Kept* checkOut(const std::string& name);
  void checkIn(Kept* kept);

  std::mutex mutex_;
  std::vector<std::unique_ptr<Kept>> kept_;
};

inline constexpr const char* kCaFileVariable = "SORV_CA_FILE";
// A certificate authority bundle larger than this is not read.
inline constexpr std::size_t kMaxCaFileBytes = 8 * 1024 * 1024;

// Reads the certificate authority bundle at path into *bytes: only a regular file of at most
// kMaxCaFileBytes, opened without blocking, so that a FIFO or a device never holds up an
// upload. False with errno's text in *err when it cannot be read, or what it is instead.
bool readCertificateAuthorityFile(const std::string& path, std::string* bytes, std::string* err);

// The wait a Retry-After header value asks for, in seconds from now (now: seconds since 1970):
// a whole number of seconds, or an HTTP date (a date that has passed: 0). nullopt for anything
// else, or a value longer than 64 bytes.
std::optional<double> retryAfterSeconds(std::string_view value, double now);
// The same for the first Retry-After of headers (any case).
std::optional<double> retryAfterSeconds(const HttpHeaders& headers, double now);

// True when url is http:// to a host other than this computer, so that the form's password
// would cross the network unencrypted.
bool sendsInClearToAnotherHost(const std::string& url);

// Connects to the site of url as a post would (the same proxies and, for https, the same
// trust: SORV_CA_FILE or the system's store) and closes the connection. For https it completes
// the TLS handshake and sends no request; for plain http it asks HEAD of the site's root, and
// any HTTP status is an answer. Gives up after timeoutSeconds. nullopt when the site answered,
// else why not in words. Safe from any thread.
std::optional<std::string> probeSiteConnection(const std::string& url, double timeoutSeconds);

// The libcurl transport, made on first use and never destroyed (an upload may still run on
// another thread while the process exits).
HttpTransport& curlHttpTransport();
// The transport the agent uses: currentEnv().httpTransport() (platform/Env.h).
HttpTransport& defaultHttpTransport();

}  // namespace sorv
