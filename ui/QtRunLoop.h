// The main run loop on Qt's GUI thread: posted work and timers run inside QApplication::exec,
// so the controller runs unchanged under the Qt event loop.
#pragma once

#include <QObject>
#include <memory>

#include "platform/RunLoop.h"

namespace sorv {

class QtRunLoop : public RunLoop {
 public:
  // Make it on the GUI thread after the QApplication exists; that thread is the loop's thread.
  QtRunLoop();
  ~QtRunLoop() override;
  QtRunLoop(const QtRunLoop&) = delete;
  QtRunLoop& operator=(const QtRunLoop&) = delete;

  void post(std::function<void()> fn) override;
  void postAndWait(std::function<void()> fn) override;
  std::shared_ptr<Timer> scheduleTimer(double seconds, bool repeats,
                                       std::function<void(Timer&)> fn) override;
  bool isLoopThread() const override;

 private:
  std::unique_ptr<QObject> context_;  // lives on the GUI thread; posted work runs in its slot
};

}  // namespace sorv
