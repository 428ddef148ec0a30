// The site-wide backoff: while the site rather than a photo fails, the automatic passes of the
// cycle wait longer each time (SiteBackoff), and the photos behind the failing one stay in the
// source folder. The operator, a settings change and the first success end it.
#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "log/MessageLog.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv {

using namespace cycle;

std::optional<double> AppController::noteSiteOutcome(SiteBackoff::Outcome outcome,
                                                     const std::string& item,
                                                     std::optional<double> siteAsks) {
  const double base = secondsBetweenScans();
  std::optional<double> wait;
  int retry = 0;
  bool ended = false;
  {
    MutexLock lock(&backoffMutex_);
    bool was = siteBackoff_.backingOff();
    wait = siteBackoff_.record(outcome, item, base, siteAsks);
    if (wait) {
      if (!was) backoffSettings_ = DefaultsStore::standard().userDomain();
      backoffUntil_ = defaultClock().now() + *wait;
      retry = siteBackoff_.retries();
    } else if (was && !siteBackoff_.backingOff()) {
      backoffUntil_ = 0;
      ended = true;
    }
  }
  if (wait) {
    std::string until = formatCycleDate(defaultClock().wallNow() + *wait);
    std::string asked =
        siteAsks && *siteAsks > 0
            ? stringWithFormat(" (the site asked for %.0f seconds, Retry-After)", *siteAsks)
            : std::string();
    MessageLog::LogMessage(
        stringWithFormat("The site is failing, not a photo: the automatic passes back off; "
                         "retry %d in a row waits %.0f seconds (until %s)%s",
                         retry, *wait, until.c_str(), asked.c_str())
            .c_str(),
        true);
  } else if (ended) {
    MessageLog::LogMessage(
        stringWithFormat("The site backoff ends: a photo was uploaded; the automatic passes "
                         "run every %.0f seconds again",
                         base)
            .c_str(),
        true);
  }
  return wait;
}

bool AppController::siteBackoffKeepsItem(const std::string& item) {
  MutexLock lock(&backoffMutex_);
  return siteBackoff_.wouldBackOff(item);
}

void AppController::resetSiteBackoff(const char* why) {
  bool was;
  {
    MutexLock lock(&backoffMutex_);
    was = siteBackoff_.reset();
    backoffUntil_ = 0;
  }
  if (!was) return;
  MessageLog::LogMessage(
      stringWithFormat("The site backoff ends: %s; the automatic passes run every %.0f seconds "
                       "again",
                       why, secondsBetweenScans())
          .c_str(),
      true);
  // A pass the backoff had put off comes at the usual interval.
  mainRunLoop().post([this] {
    if (fRepeatTimer && fRepeatTimer->isValid() && !quitting_)
      armSiteBackoffTimer(secondsBetweenScans(), false);
  });
}

bool AppController::backoffHoldsAutomaticPass(const char* who) {
  double left = siteBackoffRemaining();
  if (left <= 0) return false;
  NSLog("%s waits for the site backoff (%.0f seconds left)", who, left);
  return true;
}

double AppController::siteBackoffRemaining() {
  MutexLock lock(&backoffMutex_);
  double left = backoffUntil_ - defaultClock().now();
  return left > 0 ? left : 0;
}

int AppController::siteBackoffRetries() {
  MutexLock lock(&backoffMutex_);
  return siteBackoff_.retries();
}

void AppController::armSiteBackoffTimer(double wait, bool onlyWhenAutomatic) {
  if (quitting_) return;
  if (onlyWhenAutomatic && !Preferences::getDoAutoSynchronize()) return;
  cancelRetriggerTimer();
  setRepeatTimer(mainRunLoop().scheduleTimer(wait, false, [this](Timer&) {
    if (gStartedUploadProcess || gDidHaltProcess || quitting_) return;
    NSLog("The site backoff's wait is over; opening the source folder again");
    applicationOpenFile(Preferences::getLocalSourceUploadFolder());
  }));
  std::string when = formatCycleDate(defaultClock().wallNow() + wait);
  NSLog("Site backoff: Next Auto-Synchronize Trigger Date = %s...", when.c_str());
}

void AppController::watchSettingsForBackoff() {
  {
    MutexLock lock(&settingsToken_->mutex);
    settingsToken_->controller = this;
  }
  std::weak_ptr<SettingsToken> weak = settingsToken_;
  DefaultsStore::standard().addObserver([weak](const std::string& key) {
    auto token = weak.lock();
    if (!token) return;
    MutexLock lock(&token->mutex);
    if (token->controller) token->controller->settingChanged(key);
  });
}

void AppController::settingChanged(const std::string& key) {
  {
    MutexLock lock(&backoffMutex_);
    if (!siteBackoff_.backingOff()) return;
    // The agent writes some settings back unchanged; only a new value counts.
    Dict now = DefaultsStore::standard().userDomain();
    const Value* before = dictGet(backoffSettings_, key);
    const Value* after = dictGet(now, key);
    if ((before == nullptr) == (after == nullptr) && (!before || *before == *after)) return;
  }
  resetSiteBackoff("a setting changed");
}

}  // namespace sorv
