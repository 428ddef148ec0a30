#include "ui/GuiMain.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/AppController.h"
#include "platform/Console.h"
#include "platform/ProgressWindow.h"
#include "process/Process.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "ui/MainWindow.h"
#include "ui/QtRunLoop.h"

namespace sorv {

namespace {

bool hasEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// Termination signals are taken by one thread of their own, which asks the GUI thread to quit.
// They are blocked before any other thread starts, so every thread inherits the mask.
void watchTerminationSignals(int* lastSignal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, lastSignal] {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) return;
    mainRunLoop().post([sig, lastSignal] {
      *lastSignal = sig;
      QApplication::quit();
    });
  }).detach();
}

}  // namespace

bool displayAvailable() {
  // A platform asked for by name that needs no window system (offscreen, vnc, ...).
  if (hasEnv("QT_QPA_PLATFORM")) {
    std::string platform = std::getenv("QT_QPA_PLATFORM");
    if (platform.rfind("xcb", 0) != 0 && platform.rfind("wayland", 0) != 0) return true;
  }
  if (hasEnv("WAYLAND_DISPLAY")) {
    std::string socket = std::getenv("WAYLAND_DISPLAY");
    if (socket[0] != '/')
      socket = (hasEnv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : std::string("/tmp")) +
               "/" + socket;
    if (access(socket.c_str(), F_OK) == 0) return true;
  }
  if (!hasEnv("DISPLAY")) return false;
  // A local display ":N" is a socket that must exist; Qt would end the process on a display
  // it cannot open, where the agent can still work headless. Remote displays are tried.
  std::string display = std::getenv("DISPLAY");
  if (display[0] != ':') return true;
  std::string number = display.substr(1, display.find('.') - 1);
  return access(("/tmp/.X11-unix/X" + number).c_str(), F_OK) == 0;
}

int runGraphical(int argc, char** argv, const std::optional<std::string>& folder) {
  static int lastSignal = 0;
  watchTerminationSignals(&lastSignal);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);  // the main window closes; Quit ends the agent
  QtRunLoop loop;
  setMainRunLoop(&loop);
  setProgressWindowFactory(makeQtProgressWindow);

  setLaunchArguments(argc, argv);
  AppController::initialize();
  MainWindow view([] { mainRunLoop().post([] { QApplication::quit(); }); });
  AppController controller(&view);
  view.setController(&controller);
  controller.awakeFromNib();
  view.windowController()->windowDidLoad();
  controller.applicationWillFinishLaunching();
  view.window()->show();
  if (auto source = Preferences::getLocalSourceUploadFolder())
    view.setFieldToolTip(AppField::SourceFolderPath, *source);
  view.prefsWindow()->applyStartupState();
  if (folder) controller.applicationOpenFile(*folder);
  controller.applicationDidFinishLaunching();

  app.exec();
  if (lastSignal) NSLog("Received signal %d, quitting...", lastSignal);
  controller.applicationShouldTerminate();
  controller.applicationWillTerminate();
  DefaultsStore::standard().synchronize();
  // Upload threads may still be blocked in a send; the process ends without waiting for them.
  std::fflush(nullptr);
  std::_Exit(exitStatus());
}

}  // namespace sorv
