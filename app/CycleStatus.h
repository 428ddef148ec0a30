// What the upload cycle is doing, as one copy taken at a moment: the figures an operator
// reads through `sorvctl status`, the health check, the metrics file and the main window.
// The controller keeps them up to date from the kept walk and the outcomes; a copy is
// plain data, safe to hand to any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sorv {

enum class CycleState {
  Uploading,      // a pass runs or an item is being sent
  Waiting,        // nothing to send now; a timer, the watcher or the operator brings the next pass
  Paused,         // the operator paused the cycle
  StoppedBySite,  // the site's reply stopped the cycle (an ERROR status, a custom error)
  Halted,         // no valid source folder or settings: the cycle cannot run
  HeldElsewhere,  // another process holds the source folder's claim; tried again on the timer
};

// "uploading", "waiting", "paused", "stopped by the site", "halted", "waiting for another
// process".
const char* cycleStateText(CycleState state);

struct CycleStatus {
  CycleState state = CycleState::Waiting;
  std::string currentItem;    // relative path of the item being sent; empty when none
  std::int64_t waiting = 0;   // photos ready in the source folder, held ones included
  std::int64_t heldBack = 0;  // of those, photos passed over until their retry wait ends
  // Seconds since the oldest waiting photo was first seen; nullopt when none waits.
  std::optional<double> oldestWaitingSeconds;
  std::int64_t uploadedToday = 0;       // since local midnight
  std::int64_t uploadedSinceStart = 0;  // since the agent started
  std::uint64_t bytesUploaded = 0;      // photo and movie bytes the site accepted
  // Outcomes since start: uploaded, moved to the problem folder, left for a retry.
  std::uint64_t outcomesOk = 0, outcomesProblem = 0, outcomesRetry = 0;
  std::optional<double> lastSuccessTime;  // seconds since the epoch
  std::string lastSuccessItem;
  std::optional<double> lastFailureTime;
  std::string lastFailureItem;
  std::string lastFailureReason;   // in words, as the message log gives it
  std::int64_t problemFolder = 0;  // photos now in the problem folder
  // While the state is HeldElsewhere: the holder ("process 12778 (flock)", or "another
  // process" when /proc/locks does not tell).
  std::string folderHolder;
};

// The state in words, naming the holder while another process holds the source folder
// ("waiting for process 12778 (flock)").
std::string cycleStateText(const CycleStatus& status);

}  // namespace sorv
