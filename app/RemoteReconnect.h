// When the agent tries again to take its name on the session bus while its remote control is
// off (no bus at start, the name taken, or the bus went away): 1 second after, then twice as
// long after each failed try, at most kMaxWait. A bus that comes back is served again within
// kMaxWait, and a kiosk without one costs one try every kMaxWait. A bus that goes away again
// within kSteady of being taken does not start the waits over, so a bus that restarts in a
// loop is tried at most every kMaxWait. Plain state, not thread safe: the controller keeps it
// on the main thread.
#pragma once

#include <optional>

namespace sorv {

class RemoteReconnect {
 public:
  static constexpr double kFirstWait = 1;
  static constexpr double kMaxWait = 30;
  static constexpr double kSteady = 60;

  // Remote control is off at now (monotonic seconds): it did not start, the bus went away,
  // or a try failed. Gives the wait before the next try.
  double off(double now);
  // A try took the name at now.
  void on(double now);

 private:
  double wait_ = 0;                // the last wait given; 0 when the waits start over
  std::optional<double> onSince_;  // while remote control is on: since when
};

}  // namespace sorv
