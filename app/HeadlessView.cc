#include "app/HeadlessView.h"

#include "platform/Clock.h"
#include "platform/Console.h"

namespace sorv {

void HeadlessControl::setTitle(const std::string& title) {
  std::lock_guard<std::mutex> lock(mutex_);
  title_ = title;
}

void HeadlessControl::setEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  enabled_ = enabled;
}

std::string HeadlessControl::title() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return title_;
}

bool HeadlessControl::isEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_;
}

HeadlessView::HeadlessView(std::function<void()> onTerminate, StatusLineObserver onStatusLine)
    : onTerminate_(std::move(onTerminate)), onStatusLine_(std::move(onStatusLine)) {}

void HeadlessView::fieldUpdateSkipped(AppField field, const std::string& text, bool isError) {
  // The status lines and the current item matter to an operator reading the console; empty
  // texts are the cycle clearing them.
  if (text.empty()) return;
  if (field == AppField::FTPCallbackStatus) {
    NSLogTextWithPriority(isError ? LogPriority::Error : LogPriority::Info,
                          (isError ? "Status (error): " : "Status: ") + text);
    if (onStatusLine_) onStatusLine_(text, isError);
  } else if (field == AppField::UploadFileStatus) {
    NSLogText("Item status: " + text);
  } else if (field == AppField::FileName) {
    NSLogText("Item: " + text);
  }
}

void HeadlessView::openPreferences(AppControl*) {
  NSLogText("No preferences window without a display; edit the defaults file instead.");
}

void HeadlessView::showCounts(const CycleStatus& status) {
  if (status.waiting == 0) return;
  // A little under a minute: the minute's timer may fire just before the mark.
  const double now = defaultClock().now();
  if (lastCounts_ >= 0 && now - lastCounts_ < 59) return;
  lastCounts_ = now;
  NSLogText(stringWithFormat("Waiting: %lld, Uploaded today: %lld, Problem folder: %lld",
                             static_cast<long long>(status.waiting),
                             static_cast<long long>(status.uploadedToday),
                             static_cast<long long>(status.problemFolder)));
}

void HeadlessView::beep() {
  NSLogText("NSBeep \a");
}

void HeadlessView::terminate() {
  if (onTerminate_) onTerminate_();
}

}  // namespace sorv
