// The periodic hi-res order check: one at start-up, then each finished check arms the timer
// of the next. At most one runs at a time. Each request of a check goes over a connection of
// its own, so a check and the photo cycle never share one.
#include <memory>

#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "orders/HttpHiResController.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/ProgressWindow.h"
#include "settings/Preferences.h"

namespace sorv {

using namespace cycle;

double AppController::orderCheckIntervalSeconds() {
  auto minutes = Preferences::getPrefMinutesForCheckOrders();
  if (!minutes) return 3600;
  float seconds = static_cast<float>(minutes->doubleValue()) * 60.0f;
  return seconds > 0 ? seconds : 10;
}

void AppController::setupQueryAndUploadHiResProcess() {
  if (stopOrderChecks_ || !Preferences::getPrefDoCheckOrders()) return;
  double interval = orderCheckIntervalSeconds();
  if (orderCheckTimer_) orderCheckTimer_->invalidate();
  std::weak_ptr<int> alive = orderChecksAlive_;
  orderCheckTimer_ = mainRunLoop().scheduleTimer(interval, false, [this, alive](Timer&) {
    if (alive.lock()) doQueryAndUploadHiResInThread();
  });
  NSLog("Next check for hi-res orders in %g seconds", interval);
}

void AppController::doQueryAndUploadHiResInThread() {
  if (stopOrderChecks_) return;
  if (!Preferences::getPrefDoCheckOrders()) {
    // The check would end at once; no thread is started for it.
    NSLog("Inside %s => %s... Will NOT NOT NOT Check for Orders", "AppController",
          "doQueryAndUploadHiResProcess:");
    return;
  }
  spawn("orders", [this] { doQueryAndUploadHiResProcess(); });
}

void AppController::doQueryAndUploadHiResProcess() {
  if (!Preferences::getPrefDoCheckOrders()) {
    NSLog("Inside %s => %s... Will NOT NOT NOT Check for Orders", "AppController",
          "doQueryAndUploadHiResProcess:");
    return;
  }
  // Tested and set in one step, so that two timers firing together cannot both go on.
  if (gRunningQueryAndUploadHiResThread.exchange(true)) {
    NSLog("Already running a thread for doQueryAndUploadHiResProcess...");
    return;
  }

  std::unique_ptr<myProgressWindowController> window = makeProgressWindow("maintenanceWindow");
  if (window) {
    window->showWindow();
    window->ibSetWindowTitle("Check Orders for Hi Res Photos");
    window->ibUpdateLine1TextField("Checking For Orders Requiring Hi Res Photos...", true);
    window->ibUpdateLine2TextField("Sending Query...", true);
    window->ibUpdateProgressBar("YES");
  } else {
    NSLog("%s", kNoProgressWindowLog);
  }
  {
    std::unique_lock<std::mutex> lock(waitMutex_);
    defaultClock().sleepUnless(waitCv_, lock, 1.0, [this] { return stopOrderChecks_.load(); });
  }

  if (!stopOrderChecks_) {
    HttpHiResController hiRes;
    hiRes.setProgressDelegate(window.get());
    hiRes.setShouldStop([this] { return stopOrderChecks_.load(); });
    Dict login;
    if (auto user = Preferences::getCurUserLoginName()) login[kEdUser] = Value(*user);
    if (auto passwd = Preferences::getCurUserLoginPassword()) login[kEdPasswd] = Value(*passwd);
    hiRes.doQueryAndUploadHiResWithInfo(makeDict(std::move(login)));
  }
  if (window) window->close();
  window.reset();

  std::weak_ptr<int> alive = orderChecksAlive_;
  if (!stopOrderChecks_) {
    mainRunLoop().post([this, alive] {
      if (alive.lock()) setupQueryAndUploadHiResProcess();
    });
  }
  gRunningQueryAndUploadHiResThread = false;
}

void AppController::stopBackgroundWork() {
  // A running check stops before its next order; the quit does not wait for it.
  stopOrderChecks_ = true;
  { std::lock_guard<std::mutex> lock(waitMutex_); }
  waitCv_.notify_all();
  if (orderCheckTimer_) orderCheckTimer_->invalidate();
  orderCheckTimer_.reset();
}

}  // namespace sorv
