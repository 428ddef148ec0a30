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
    case CycleState::HeldElsewhere:
      return "waiting for another process";
  }
  return "waiting";
}

std::string cycleStateText(const CycleStatus& status) {
  if (status.state == CycleState::HeldElsewhere && !status.folderHolder.empty())
    return "waiting for " + status.folderHolder;
  return cycleStateText(status.state);
}

}  // namespace sorv
