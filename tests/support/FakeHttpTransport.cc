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
  RecordedRequest rec{request.url, request.headers, flattenBody(request.body),
                      request.stallTimeoutSeconds};
  std::unique_lock<std::mutex> lock(mutex_);
  requests_.push_back(std::move(rec));
  cv_.notify_all();
  cv_.wait(lock, [this] { return !held_; });
  return result_;
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
