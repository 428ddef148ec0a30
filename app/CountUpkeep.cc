#include "app/CountUpkeep.h"

namespace sorv {

void CountUpkeep::counted(double now, bool walked) {
  MutexLock lock(&mutex_);
  lastCheck_ = now;
  if (walked) lastWalk_ = now;
}

bool CountUpkeep::startWalk(double now, bool busy) {
  MutexLock lock(&mutex_);
  if (running_ || (lastCheck_ >= 0 && now - lastCheck_ < (busy ? kBusySeconds : kIdleSeconds)))
    return false;
  running_ = true;
  asked_ = now;
  return true;
}

void CountUpkeep::finished() {
  MutexLock lock(&mutex_);
  running_ = false;
}

bool CountUpkeep::stillDue() const {
  MutexLock lock(&mutex_);
  return lastCheck_ < asked_ || lastCheck_ < 0;
}

bool CountUpkeep::mayTrustQueue(double now) const {
  MutexLock lock(&mutex_);
  return lastWalk_ >= 0 && now - lastWalk_ < kRecheckSeconds;
}

}  // namespace sorv
