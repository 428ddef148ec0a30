// The reference photo-service site: one POST endpoint dispatched by the "fuseaction" form
// field, a page listing what was received, and fault modes that play a misbehaving site.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "site/OrderBook.h"
#include "site/UploadStore.h"

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace sorv::site {

struct SiteOptions {
  int port = 0;
  std::string store;
  std::string orders;
  std::string fault;  // for every request; a request's "sorvfault" query parameter wins
  // When set, the fault applies only to a POST whose "imgfile" file name contains this.
  std::optional<std::string> faultOnly;
  // When above 0, the fault applies to that many POSTs only; later ones get the normal answer.
  int faultTimes = 0;
  // When above 1, the fault applies to every Nth POST only (1 in N).
  int faultEvery = 0;
  std::string user, password;
  double slowSeconds = 2;    // "slow": the reply trickles out over this long
  double hangSeconds = 600;  // "hang": how long a request is held before the site lets go
  // "http429" and "http503": the Retry-After header's value; empty: none is sent.
  std::string retryAfter;
  // HTTPS with this certificate chain and key (PEM files) when both are set.
  std::string tlsCert, tlsKey;
  // A connection is closed after this many requests, or when idle for this many seconds.
  int keepAliveRequests = 10000;
  int keepAliveSeconds = 5;
};

class SiteServer {
 public:
  explicit SiteServer(SiteOptions options);
  ~SiteServer();
  // Binds 127.0.0.1 (port 0: a free one); the bound port, or -1.
  int bind(std::string* err);
  void run();   // serves until stop()
  void stop();  // safe from any thread

 private:
  void handlePost(const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader& reader);
  void handleIndex(const httplib::Request& req, httplib::Response& res);
  void handleFile(const httplib::Request& req, httplib::Response& res);
  void reply(httplib::Response& res, const std::string& xml, bool slow);
  void hang();
  // The replies of "bigbody", "endless", "silence" and "trickle".
  void endlessReply(httplib::Response& res, const std::string& mode);
  void dropConnection(const httplib::Request& req);
  // One line in "<store>/.connections.log" per multipart POST: the client's port (which tells
  // the connections apart) and the fuseaction.
  void logConnection(const httplib::Request& req, const std::string& fuseAction);
  void appendLine(const char* file, const std::string& line);
  // One line in "<store>/.requests.log": fuseaction, file name, fault ("" as "-"), outcome.
  void logRequest(const std::string& fuseAction, const std::string& fileName,
                  const std::string& fault, const char* outcome);

  SiteOptions options_;
  UploadStore store_;
  OrderBook orders_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = -1;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::mutex logMutex_;
  std::atomic<int> faultsApplied_{0};
  std::atomic<int> faultCandidates_{0};
};

// "<reply><status>S</status><message>M</message></reply>"
std::string statusReply(const std::string& status, const std::string& message);

}  // namespace sorv::site
