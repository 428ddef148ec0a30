#include "app/ServiceReporter.h"

#include <algorithm>
#include <cctype>

#include "platform/Clock.h"
#include "platform/Console.h"

namespace sorv {

std::string serviceStatusText(const CycleStatus& status, const std::string& statusLine) {
  std::string text;
  if (status.state == CycleState::Uploading && !status.currentItem.empty()) {
    text = "Uploading " + status.currentItem;
  } else if (!statusLine.empty()) {
    text = statusLine;
  } else {
    text = cycleStateText(status);
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  }
  // One line: the manager shows the status on one line.
  std::replace(text.begin(), text.end(), '\n', ' ');
  text += stringWithFormat(", %lld waiting, %lld today", static_cast<long long>(status.waiting),
                           static_cast<long long>(status.uploadedToday));
  if (status.problemFolder > 0)
    text += stringWithFormat(", %lld in the problem folder",
                             static_cast<long long>(status.problemFolder));
  return text;
}

ServiceReporter::ServiceReporter(ServiceManager& manager, std::function<CycleStatus()> status)
    : manager_(manager), status_(std::move(status)) {}

ServiceReporter::~ServiceReporter() {
  stop();
}

void ServiceReporter::setStatusLine(const std::string& text) {
  MutexLock lock(&mutex_);
  statusLine_ = text;
}

std::string ServiceReporter::statusLine() {
  MutexLock lock(&mutex_);
  return statusLine_;
}

void ServiceReporter::start(RunLoop& loop) {
  if (started_ || !manager_.listening()) return;
  started_ = true;
  watchdogSeconds_ = manager_.watchdogSeconds();
  sentStatus_ = serviceStatusText(status_(), statusLine());
  manager_.notify("READY=1\nSTATUS=" + sentStatus_);
  lastWatchdog_ = defaultClock().now();
  // A watchdog shorter than the tick is fed more often than it expires.
  double every = kTickSeconds;
  if (watchdogSeconds_ > 0) every = std::min(every, watchdogSeconds_ / 4);
  timer_ = loop.scheduleTimer(every, true, [this](Timer&) { tick(); });
}

void ServiceReporter::tick() {
  if (!started_) return;
  std::string text = serviceStatusText(status_(), statusLine());
  if (text != sentStatus_ && manager_.notify("STATUS=" + text)) sentStatus_ = std::move(text);
  const double now = defaultClock().now();
  if (watchdogSeconds_ > 0 && now - lastWatchdog_ >= watchdogSeconds_ / 2) {
    manager_.notify("WATCHDOG=1");
    lastWatchdog_ = now;
  }
}

void ServiceReporter::stop() {
  if (!started_) return;
  started_ = false;
  if (timer_) timer_->invalidate();
  timer_.reset();
  manager_.notify("STOPPING=1");
}

}  // namespace sorv
