// The agent's executable: Sorv-FTPUploader [--headless] [FOLDER]
// With the user interface built in and a display present, it shows its windows unless
// --headless is given.
// Runs the start-up sequence, opens FOLDER as the launcher's open request, and
// runs the main run loop until SIGTERM or SIGINT, then the quit sequence. When an agent
// already runs for this user, FOLDER is handed to it instead.
//   --save-prefs FILE / --load-prefs FILE: save or load a preference file, then exit.
//   --import-settings FILE: load a kiosk's settings file, all of it or nothing, then exit.
//   --check: check this kiosk's set-up, one line a check, then exit (0 when all pass).
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "app/AppController.h"
#include "app/HeadlessView.h"
#include "app/ServiceReporter.h"
#include "app/SetupCheck.h"
#include "platform/Console.h"
#include "platform/Env.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/ServiceManager.h"
#include "process/Process.h"
#include "settings/DefaultsLock.h"
#include "settings/DefaultsStore.h"
#include "settings/PreferenceFiles.h"
#include "settings/Preferences.h"
#include "settings/RemoteClient.h"
#include "settings/SettingsImport.h"

namespace {

// The preference-file options: the factory defaults count as values when saving.
int runPrefsFileOption(bool save, const std::string& file) {
  using namespace sorv;
  Preferences::setupFactoryDefaults();
  std::string why;
  bool ok = save ? PreferenceFiles::savePrefsToFile(file, &why)
                 : PreferenceFiles::loadPrefsFromFile(file, &why);
  if (!ok) std::fprintf(stderr, "%s: %s\n", file.c_str(), why.c_str());
  if (!save && ok && !DefaultsStore::standard().synchronize()) return 1;
  return ok ? 0 : 1;
}

// The settings file option: every line is checked before anything is stored.
int runImportSettings(const std::string& file) {
  using namespace sorv;
  SettingsFile parsed = readSettingsFile(file);
  for (const std::string& w : parsed.warnings)
    std::fprintf(stderr, "%s: warning: %s\n", file.c_str(), w.c_str());
  for (const SettingsProblem& p : parsed.problems) {
    if (p.line > 0)
      std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), p.line, p.text.c_str());
    else
      std::fprintf(stderr, "%s: %s\n", file.c_str(), p.text.c_str());
  }
  if (!parsed.problems.empty()) {
    std::fprintf(stderr, "Nothing was imported: correct the lines above and run it again.\n");
    return 1;
  }
  // A running agent holds the settings in memory and would write them back over these. Every
  // agent holds the defaults file's lock, bus or no bus; one of an older kind only answers on
  // the bus. The lock is held until the import ends, so no agent starts meanwhile.
  const char* running =
      "Nothing was imported: an agent is running for this user and would write its own "
      "settings over these. Stop it first (systemctl --user stop sorv-uploader), import, then "
      "start it again (systemctl --user start sorv-uploader).\n";
  DefaultsLock lock;
  std::string lockWhy;
  DefaultsLock::Result locked = lock.take(defaultsFilePath(), DefaultsLock::Kind::Writer, &lockWhy);
  if (locked == DefaultsLock::Result::Failed) {
    std::fprintf(stderr, "Nothing was imported: %s\n", lockWhy.c_str());
    return 1;
  }
  if (locked == DefaultsLock::Result::Busy ||
      requestStatus(5).status != RemoteCallResult::Status::NoAgent) {
    std::fputs(running, stderr);
    return 1;
  }
  std::string why;
  if (!applySettings(parsed, DefaultsStore::standard(), &why)) {
    std::fprintf(stderr, "%s: %s\n", file.c_str(), why.c_str());
    return 1;
  }
  std::printf("Imported %zu settings from %s into %s:\n", parsed.settings.size(), file.c_str(),
              defaultsFilePath().c_str());
  for (const ImportedSetting& s : parsed.settings)
    std::printf("  %s = %s\n", s.key.c_str(), settingDisplayText(s.key, s.value).c_str());
  return 0;
}

// A later launch with a folder: the agent already running for this user opens it.
bool handOverToRunningAgent(const std::string& folder) {
  std::error_code ec;
  auto path = std::filesystem::absolute(folder, ec);
  auto result = sorv::sendOpenRequest(ec ? folder : path.string(), 60);
  if (result.status != sorv::RemoteCallResult::Status::Ok) return false;
  sorv::NSLog("Handed [%s] to the agent already running", folder.c_str());
  return true;
}

// The cycle starts a thread for each pass and each upload, and they land on different glibc
// arenas (up to eight per core); each arena keeps what its threads freed, so the resident memory
// of an agent that runs for weeks creeps up arena by arena until every one holds the cycle's
// peak. Two suffice for the few threads that run at once. A MALLOC_ARENA_MAX of the caller's
// own is left to decide.
void boundAllocatorArenas() {
  if (!std::getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
}

}  // namespace
#ifdef SORV_WITH_UI
#include "ui/GuiMain.h"
#endif

int main(int argc, char** argv) {
  using namespace sorv;
  boundAllocatorArenas();
  std::optional<std::string> folder;
  [[maybe_unused]] bool headless = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
      continue;
    }
    bool save = std::strcmp(argv[i], "--save-prefs") == 0;
    if ((save || std::strcmp(argv[i], "--load-prefs") == 0) && i + 1 < argc)
      return runPrefsFileOption(save, argv[i + 1]);
    if (std::strcmp(argv[i], "--import-settings") == 0 && i + 1 < argc)
      return runImportSettings(argv[i + 1]);
    if (std::strcmp(argv[i], "--check") == 0) return runSetupCheckCommand(stdout);
    if (std::strcmp(argv[i], "--help") == 0 || argv[i][0] == '-') {
      std::fprintf(stderr,
                   "usage: %s [--headless] [FOLDER]\n       %s --save-prefs FILE | "
                   "--load-prefs FILE\n       %s --import-settings FILE | --check\n",
                   argv[0], argv[0], argv[0]);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
    folder = argv[i];
  }
  if (folder && handOverToRunningAgent(*folder)) return 0;
#ifdef SORV_WITH_UI
  // With a display and without --headless, the windows; otherwise the same headless run as a
  // build without the user interface.
  if (!headless && displayAvailable()) return runGraphical(argc, argv, folder);
#endif

  EventLoop loop;
  MainLoopEnv env(&loop);
  setDefaultEnv(&env);
  loop.stopOnTerminationSignals();

  setLaunchArguments(argc, argv);
  AppController::initialize();
  AppController* running = nullptr;
  ServiceReporter service(defaultServiceManager(),
                          [&running] { return running ? running->cycleStatus() : CycleStatus{}; });
  HeadlessView view([&loop] { loop.stop(); },
                    [&service](const std::string& text, bool) { service.setStatusLine(text); });
  AppController controller(&view);
  running = &controller;
  // The places that change the status or the counts say so; nothing polls them.
  controller.setStatusObserver([&service] { service.changed(); });
  controller.launch(folder);
  // Started, and the bus name is taken: a service manager may count the agent as running.
  service.start(loop);

  loop.run();
  if (int sig = loop.interruptSignal()) NSLog("Received signal %d, quitting...", sig);
  service.stop();
  controller.quit();
  // Upload threads may still be blocked in a send; the process ends without waiting for them.
  std::fflush(nullptr);
  std::_Exit(exitStatus());
}
