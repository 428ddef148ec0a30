#include "tests/support/FakeHttpTransport.h"

#include <chrono>

namespace sorv::test {

std::string flattenBody(const HttpBody& body) {
  std::string out;
  for (const auto& piece : body.pieces()) {
    if (!piece.file) {
      out += piece.text;
      continue;
    }
    char buf[65536];
    std::uint64_t off = 0;
    long long got;
    while ((got = piece.file->readAt(off, buf, sizeof buf)) > 0) {
      out.append(buf, static_cast<std::size_t>(got));
      off += static_cast<std::uint64_t>(got);
    }
  }
  return out;
}

HttpResult FakeHttpTransport::post(const HttpRequest& request) {
  RecordedRequest rec{request.url,
                      request.headers,
                      flattenBody(request.body),
                      request.stallTimeoutSeconds,
                      request.maxSendBytesPerSecond,
                      request.progress};
  std::function<void()> during;
  HttpResult result;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    requests_.push_back(std::move(rec));
    cv_.notify_all();
    cv_.wait(lock, [this] { return !held_; });
    if (!during_.empty()) {
      during = std::move(during_.front());
      during_.pop_front();
    }
    if (!script_.empty()) {
      result = std::move(script_.front());
      script_.pop_front();
    } else {
      result = result_;
    }
  }
  if (during) during();
  return result;
}

void FakeHttpTransport::push(HttpResult result) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(result));
}

void FakeHttpTransport::duringNextSend(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  during_.push_back(std::move(fn));
}

int FakeHttpTransport::posts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(requests_.size());
}

HttpResult FakeHttpTransport::reply(const std::string& status, const std::string& message,
                                    long code) {
  HttpResult r;
  r.statusCode = code;
  r.body = "<?xml version=\"1.0\"?><reply><status>" + status + "</status><message>" + message +
           "</message></reply>";
  return r;
}

HttpResult FakeHttpTransport::transportError(const std::string& description) {
  HttpResult r;
  r.error = HttpError{7, "curl", description};
  return r;
}

void FakeHttpTransport::setResult(HttpResult result) {
  std::lock_guard<std::mutex> lock(mutex_);
  result_ = std::move(result);
}

void FakeHttpTransport::setReply(long status, const std::string& body) {
  HttpResult r;
  r.statusCode = status;
  r.body = body;
  setResult(std::move(r));
}

void FakeHttpTransport::hold() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = true;
}

void FakeHttpTransport::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = false;
  cv_.notify_all();
}

bool FakeHttpTransport::waitForRequests(std::size_t n, double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                      [&] { return requests_.size() >= n; });
}

std::vector<RecordedRequest> FakeHttpTransport::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace sorv::test
