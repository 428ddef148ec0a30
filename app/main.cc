// The agent's executable: Sorv-FTPUploader [--headless] [FOLDER]
// With the user interface built in and a display present, it shows its windows unless
// --headless is given.
// Runs the start-up sequence, opens FOLDER as the launcher's open request, and
// runs the main run loop until SIGTERM or SIGINT, then the quit sequence.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/AppController.h"
#include "app/HeadlessView.h"
#include "platform/Console.h"
#include "platform/RunLoop.h"
#include "process/Process.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#ifdef SORV_WITH_UI
#include "ui/GuiMain.h"
#endif

int main(int argc, char** argv) {
  using namespace sorv;
  std::optional<std::string> folder;
  [[maybe_unused]] bool headless = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
      continue;
    }
    if (std::strcmp(argv[i], "--help") == 0 || argv[i][0] == '-') {
      std::fprintf(stderr, "usage: %s [--headless] [FOLDER]\n", argv[0]);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
    folder = argv[i];
  }
#ifdef SORV_WITH_UI
  // With a display and without --headless, the windows; otherwise the same headless run as a
  // build without the user interface.
  if (!headless && displayAvailable()) return runGraphical(argc, argv, folder);
#endif

  EventLoop loop;
  setMainRunLoop(&loop);
  loop.stopOnTerminationSignals();

  setLaunchArguments(argc, argv);
  AppController::initialize();
  HeadlessView view([&loop] { loop.stop(); });
  AppController controller(&view);
  controller.awakeFromNib();
  controller.applicationWillFinishLaunching();
  if (folder) controller.applicationOpenFile(*folder);
  controller.applicationDidFinishLaunching();

  loop.run();
  if (int sig = loop.interruptSignal()) NSLog("Received signal %d, quitting...", sig);
  controller.applicationShouldTerminate();
  controller.applicationWillTerminate();
  DefaultsStore::standard().synchronize();
  // Upload threads may still be blocked in a send; the process ends without waiting for them.
  std::fflush(nullptr);
  std::_Exit(exitStatus());
}
