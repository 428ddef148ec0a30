#include "app/ServiceReporter.h"

#include <algorithm>
#include <cctype>

#include "log/MessageLog.h"
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
  {
    MutexLock lock(&mutex_);
    statusLine_ = text;
  }
  changed();
}

std::string ServiceReporter::statusLine() {
  MutexLock lock(&mutex_);
  return statusLine_;
}

void ServiceReporter::changed() {
  RunLoop* loop = loop_.load();
  if (!loop || changePosted_.exchange(true)) return;
  loop->post([alive = std::weak_ptr<ServiceReporter*>(self_), loop] {
    const auto self = alive.lock();
    if (!self) return;
    ServiceReporter& r = **self;
    r.changePosted_ = false;
    if (!r.started_) return;
    const double wait = r.lastStatusSent_ + kStatusSpacingSeconds - defaultClock().now();
    if (wait <= 0) return r.sendStatus();
    if (r.spacingTimer_ && r.spacingTimer_->isValid()) return;
    r.spacingTimer_ = loop->scheduleTimer(wait, false, [&r](Timer&) { r.sendStatus(); });
  });
}

void ServiceReporter::start(RunLoop& loop) {
  if (started_ || !manager_.listening()) return;
  started_ = true;
  loop_ = &loop;
  const double watchdog = manager_.watchdogSeconds();
  watched_ = watchdog > 0;
  tickSeconds_ = watchdog > 0 ? std::max(watchdog / 2, kMinFeedSeconds) : kRefreshSeconds;
  if (watchdog > 0 && watchdog / 2 < kMinFeedSeconds)
    myNSLog(
        "WARNING: the service manager's watchdog of %g s is shorter than the agent can "
        "honour; it is fed every %g s",
        watchdog, kMinFeedSeconds);
  readyPending_ = true;
  sendStatus();
  timer_ = loop.scheduleTimer(tickSeconds_, true, [this](Timer&) { tick(); });
}

void ServiceReporter::sendStatus() {
  if (!started_) return;
  std::string text = serviceStatusText(status_(), statusLine());
  if (!readyPending_ && text == sentStatus_) return;
  lastStatusSent_ = defaultClock().now();
  if (!manager_.notify((readyPending_ ? "READY=1\nSTATUS=" : "STATUS=") + text)) return;
  readyPending_ = false;
  sentStatus_ = std::move(text);
}

void ServiceReporter::tick() {
  if (!started_) return;
  // A feed the manager's full queue did not take is made good by the next one.
  if (watched_) manager_.notify("WATCHDOG=1");
  sendStatus();
}

void ServiceReporter::stop() {
  if (!started_) return;
  started_ = false;
  loop_ = nullptr;
  for (const auto& timer : {timer_, spacingTimer_})
    if (timer) timer->invalidate();
  timer_.reset();
  spacingTimer_.reset();
  manager_.notify("STOPPING=1");
}

}  // namespace sorv
