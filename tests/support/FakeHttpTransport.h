// An HTTP transport for tests: records every request (with the body's file bytes read out)
// and answers with a scripted result; can hold a request until the test lets it go.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http/HttpTransport.h"

namespace sorv::test {

struct RecordedRequest {
  std::string url;
  HttpHeaders headers;
  std::string body;  // every piece in order, files read in full
  double stallTimeoutSeconds = 0;
};

// The body's bytes as they would go over the wire.
std::string flattenBody(const HttpBody& body);

class FakeHttpTransport : public HttpTransport {
 public:
  HttpResult post(const HttpRequest& request) override;

  void setResult(HttpResult result);
  // An XML reply with status 200 and the given body.
  void setReply(long status, const std::string& body);
  // While held, post() blocks after recording the request until release().
  void hold();
  void release();
  // Waits (real time, bounded) until n requests have arrived; false on time-out.
  bool waitForRequests(std::size_t n, double seconds = 10);

  std::vector<RecordedRequest> requests();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  HttpResult result_;
  std::vector<RecordedRequest> requests_;
  bool held_ = false;
};

}  // namespace sorv::test
