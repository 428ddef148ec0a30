// The headless agent as a child process, run from a private copy of the bundle so that its
// message log (written beside the bundle) belongs to one test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "tests/support/TempDir.h"

namespace sorv::test {

// Copies the built bundle into folder; gives the copy's executable, or "" on failure.
std::string installAgentBundle(const std::string& folder);

// The message log of an agent whose log folder is logDir.
std::string agentMessageLogPath(const std::string& logDir);

class AgentProcess {
 public:
  // Starts `executable --headless folder` (no folder when it is "") with SORV_DEFAULTS and
  // SORV_LOG_DIR set to the given paths, its standard output and error appended to consolePath.
  // extraEnv: further NAME=VALUE entries; runAs: a command that runs the agent (for example
  // setpriv as another user), given before the agent's own command line.
  AgentProcess(const std::string& executable, const std::string& folder,
               const std::string& defaultsPath, const std::string& logDir,
               const std::string& consolePath, const std::vector<std::string>& extraEnv = {},
               const std::vector<std::string>& runAs = {});
  ~AgentProcess();  // SIGKILL and reap when still running
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void signal(int sig);
  // Waits up to seconds for the process to end; true with its wait status when it did.
  bool wait(double seconds, int* status);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// A kiosk in a temporary folder: its Source and Mirror folders, defaults file, log folder and
// the agent's console, with the agent's bundle installed there.
struct KioskFolders {
  KioskFolders();
  TempDir dir;
  std::string src = dir.sub("Source"), mirror = dir.sub("Mirror"),
              defaults = dir.sub("defaults.plist"), logs = dir.sub("logs"),
              console = dir.sub("console.txt"), agent = installAgentBundle(dir.path());
  // Small JPEGs of station K1 in Source/Fair; false when one could not be written.
  bool addPhotos(std::initializer_list<const char*> names) const;
  // Writes the defaults for the site at url (and more) and starts the agent on Source; null
  // when the defaults could not be written.
  std::unique_ptr<AgentProcess> start(const std::string& url, const Dict& more = {},
                                      const std::vector<std::string>& env = {}) const;
};

// The `Key: value` lines of a text, such as sorvctl's status.
std::map<std::string, std::string> keyValueLines(const std::string& text);

// Processes (other than this one) whose executable is `executable`.
std::vector<pid_t> processesRunning(const std::string& executable);

// Writes a defaults file holding the given preferences.
bool writeDefaults(const std::string& path, const Dict& prefs);

// The preferences of a kiosk that uploads src to url and mirrors it into mirror, with more.
bool writeKioskDefaults(const std::string& path, const std::string& src, const std::string& mirror,
                        const std::string& url, const Dict& more = {});

// Sends SIGTERM and waits up to seconds for the agent's end: "" when it exited with status 0
// and its console (consolePath) holds no sanitizer report, else what went wrong.
std::string quitBySigterm(AgentProcess& run, const std::string& consolePath, double seconds = 10);

// Polls done (every 50 ms) until it is true or seconds pass.
bool waitFor(const std::function<bool()>& done, double seconds);

// Polls file until it contains text or seconds pass.
bool waitForText(const std::string& file, const std::string& text, double seconds);

// Every regular file under root by its relative path, with its bytes (links not followed).
std::map<std::string, std::string> filesUnder(const std::string& root);

}  // namespace sorv::test

namespace sorv::test {

// Writes a JPEG (metadata in its EXIF UserComment, EXIF date exifDate) or a PNG (metadata in
// its trailer) at path, creating folders; gives the bytes written, "" on failure.
std::string writePhoto(const std::string& path, bool png, int width, int height, const Dict& meta,
                       const std::string& exifDate = "2026:05:01 10:20:30");

}  // namespace sorv::test
