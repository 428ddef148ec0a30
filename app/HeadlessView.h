// The view of an agent without a display: no window is ever visible, so field updates are
// skipped, but the status line, the item status and the current item are echoed to the
// console.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "app/AppView.h"

namespace sorv {

// A button that only remembers its state.
class HeadlessControl : public AppControl {
 public:
  void setTitle(const std::string& title) override;
  void setEnabled(bool enabled) override;
  std::string title() const;
  bool isEnabled() const;

 private:
  mutable std::mutex mutex_;
  std::string title_ = "Pause";
  bool enabled_ = true;
};

class HeadlessView : public AppView {
 public:
  // The status line as it changes: its text and whether it is an error (shown in red).
  using StatusLineObserver = std::function<void(const std::string& text, bool isError)>;

  // onTerminate runs when the application is asked to quit (e.g. stops the main loop);
  // onStatusLine on the thread that sets the line.
  explicit HeadlessView(std::function<void()> onTerminate = {},
                        StatusLineObserver onStatusLine = {});

  // No window: every field counts as hidden; the rest keeps AppView's empty defaults.
  void fieldUpdateSkipped(AppField field, const std::string& text, bool isError) override;
  AppControl* pauseResumeButton() override { return &pauseButton_; }
  void openPreferences(AppControl* sender) override;
  // Once a minute while photos wait: "Waiting: 12, Uploaded today: 40, Problem folder: 1".
  void showCounts(const CycleStatus& status) override;
  void beep() override;
  void terminate() override;

 private:
  HeadlessControl pauseButton_;
  std::function<void()> onTerminate_;
  StatusLineObserver onStatusLine_;
  double lastCounts_ = -1;  // main thread: when the counts were last written
};

}  // namespace sorv
