#include "ui/GuiMain.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>

#include "app/AppController.h"
#include "platform/Console.h"
#include "platform/Env.h"
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

// Termination signals reach the GUI thread through a pipe: the handler only writes the signal
// number, a socket notifier on the GUI thread reads it and quits. Nothing is blocked, so the
// programs the agent starts (the file browser, the relaunch helper) get the usual signals.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int sig) {
  unsigned char byte = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);
}

void watchTerminationSignals(int* lastSignal) {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [lastSignal] {
    unsigned char byte = 0;
    if (read(signalPipe[0], &byte, 1) == 1) *lastSignal = byte;
    QApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
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
  QApplication app(argc, argv);
  watchTerminationSignals(&lastSignal);
  app.setQuitOnLastWindowClosed(false);  // the main window closes; Quit ends the agent
  QtRunLoop loop;
  MainLoopEnv env(&loop, makeQtProgressWindow);
  setDefaultEnv(&env);

  setLaunchArguments(argc, argv);
  AppController::initialize();
  MainWindow view([] { mainRunLoop().post([] { QApplication::quit(); }); });
  AppController controller(&view);
  view.setController(&controller);
  controller.launch(
      folder, [&view] { view.windowController()->windowDidLoad(); },
      [&view] {
        view.window()->show();
        if (auto source = Preferences::getLocalSourceUploadFolder())
          view.setFieldToolTip(AppField::SourceFolderPath, *source);
        view.prefsWindow()->applyStartupState();
      });

  app.exec();
  if (lastSignal) NSLog("Received signal %d, quitting...", lastSignal);
  controller.quit();
  // Upload threads may still be blocked in a send; the process ends without waiting for them.
  std::fflush(nullptr);
  std::_Exit(exitStatus());
}

}  // namespace sorv
