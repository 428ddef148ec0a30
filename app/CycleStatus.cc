#include "app/CycleStatus.h"

namespace sorv {

const char* cycleStateText(CycleState state) {
  switch (state) {
    case CycleState::Uploading:
      return "uploading";
    case CycleState::Waiting:
      return "waiting";
    case CycleState::Paused:
      return "paused";
    case CycleState::StoppedBySite:
      return "stopped by the site";
    case CycleState::Halted:
      return "halted";
  }
  return "waiting";
}

}  // namespace sorv
