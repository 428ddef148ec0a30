// When the counts of the source folder want a read-only walk of their own. While passes run,
// their walks keep the counts (the whole tree every few seconds); between passes (paused,
// backing off, stopped by the site, another process holding the folder, one long upload)
// nothing walks, and photos that arrive or leave would go uncounted. The controller asks on a
// timer; a count walk is due when the last whole count is older than a second between passes,
// or than kBusySeconds while a pass runs (its own walks count then). A walk due may skip the
// tree when the folder's change queue shows no arrival or departure, but not for longer than
// kRecheckSeconds (held photos come free with time alone). Thread safe; the clock's monotonic
// seconds in.
#pragma once

#include "platform/Mutex.h"

namespace sorv {

class CountUpkeep {
 public:
  static constexpr double kTickSeconds = 1;
  static constexpr double kIdleSeconds = 1;
  static constexpr double kBusySeconds = 4;
  static constexpr double kRecheckSeconds = 30;
  // The tick while passes start on their own (the timer's, the watcher's), which count too.
  static constexpr double kQuietSeconds = 60;

  // A walk of the whole tree gave the counts at now (walked), or the change queue showed that
  // the last one still holds (!walked).
  void counted(double now, bool walked) EXCLUDES(mutex_);
  // A tick at now, busy while a pass runs: true when a count walk is due and none runs; it
  // then runs until finished().
  bool startWalk(double now, bool busy) EXCLUDES(mutex_);
  void finished() EXCLUDES(mutex_);
  // Inside the count walk: whether it is still due (a pass's walk may have counted meanwhile),
  // and whether an unchanged folder may spare it the tree.
  bool stillDue() const EXCLUDES(mutex_);
  bool mayTrustQueue(double now) const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  bool running_ GUARDED_BY(mutex_) = false;
  double lastWalk_ GUARDED_BY(mutex_) = -1;   // the last whole count's walk; -1: none yet
  double lastCheck_ GUARDED_BY(mutex_) = -1;  // the last walk or queue that found it current
  double asked_ GUARDED_BY(mutex_) = 0;       // the tick that started the running walk
};

}  // namespace sorv
