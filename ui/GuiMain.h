// The graphical mode of the agent's executable.
#pragma once

#include <optional>
#include <string>

namespace sorv {

// True when windows can be shown: a local X display or Wayland socket that exists, a remote
// X display, or a QT_QPA_PLATFORM that needs no window system (offscreen).
bool displayAvailable();

// Runs the start-up sequence with the main window, opens folder as the launcher's open
// request, runs the Qt event loop until the agent quits (button, SIGTERM, SIGINT, SIGHUP),
// then the quit sequence. Returns the process's exit status.
int runGraphical(int argc, char** argv, const std::optional<std::string>& folder);

}  // namespace sorv
