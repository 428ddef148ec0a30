// An HTTP transport for tests: records every request (with the body's file bytes read out)
// and answers from a script of one-shot results, then with a standing result; can run a step
// of the test during a send, and hold a request until the test lets it go.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
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
  std::uint64_t maxSendBytesPerSecond = 0;
  // The request's progress report: a test moves it as a transport would.
  std::shared_ptr<UploadProgress> progress;
};

// The body's bytes as they would go over the wire.
std::string flattenBody(const HttpBody& body);

class FakeHttpTransport : public HttpTransport {
 public:
  // Records the request, waits while held, runs the step queued by duringNextSend (on the
  // sending thread), then answers with the next pushed result, else the standing one.
  HttpResult post(const HttpRequest& request) override;

  // The standing result (at first an empty result: status 0, no body, no error).
  void setResult(HttpResult result);
  // A standing reply with the given status and body.
  void setReply(long status, const std::string& body);
  // Answers the next request not yet answered by an earlier push with result.
  void push(HttpResult result);
  // Runs fn during the next send, before it answers.
  void duringNextSend(std::function<void()> fn);
  // While held, post() blocks after recording the request until release().
  void hold();
  void release();
  // Waits (real time, bounded) until n requests have arrived; false on time-out.
  bool waitForRequests(std::size_t n, double seconds = 10);

  std::vector<RecordedRequest> requests();
  int posts() const;

  // The site's XML reply with the given status and message texts.
  static HttpResult reply(const std::string& status, const std::string& message, long code = 200);
  // A transport failure (nothing answered) with the given description.
  static HttpResult transportError(const std::string& description);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  HttpResult result_;
  std::deque<HttpResult> script_;
  std::deque<std::function<void()>> during_;
  std::vector<RecordedRequest> requests_;
  bool held_ = false;
};

}  // namespace sorv::test
