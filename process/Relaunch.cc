// Replacing the agent with a fresh process.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Program.h"
#include "process/Process.h"

extern char** environ;

namespace sorv {

namespace {

constexpr const char* kOwnAppName = "Sorv-FTPUploader";

std::vector<std::string>& storedArguments() {
  static std::vector<std::string> args;
  return args;
}

int& storedExitStatus() {
  static int status = 0;
  return status;
}

// Starts path with args in a session of its own, without waiting for it: the new process
// outlives this one and is not hit by signals sent to this process's group.
pid_t spawnDetached(const std::string& path, const std::vector<std::string>& args,
                    bool quietStdout) {
  // The helpers start the new agent with this process's arguments, handed over in the
  // environment: by the time a helper runs, this process may be gone, and its /proc entry too.
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "SORV_RELAUNCH_ARGS=", 19) != 0) environment.emplace_back(*e);
  environment.push_back("SORV_RELAUNCH_ARGS=" + encodeRelaunchArguments(launchArguments()));
  // The helper app's output goes nowhere anyone reads (quietStdout).
  long pid = -1;
  int rc = defaultPrograms().startDetached(path, args, environment, quietStdout, &pid);
  if (rc != 0) NSLog("Unable to start [%s]: %s", path.c_str(), std::strerror(rc));
  return rc == 0 ? static_cast<pid_t>(pid) : -1;
}

bool sameNameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::string encodeRelaunchArguments(const std::vector<std::string>& args) {
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out += '\n';
    for (char c : args[i]) {
      if (c == '%')
        out += "%25";
      else if (c == '\n')
        out += "%0A";
      else
        out += c;
    }
  }
  return out;
}

std::vector<std::string> decodeRelaunchArguments(const std::string& text) {
  std::vector<std::string> args;
  if (text.empty()) return args;
  std::string cur;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      args.push_back(cur);
      cur.clear();
    } else if (text.compare(i, 3, "%25") == 0) {
      cur += '%';
      i += 2;
    } else if (text.compare(i, 3, "%0A") == 0) {
      cur += '\n';
      i += 2;
    } else {
      cur += text[i];
    }
  }
  args.push_back(cur);
  return args;
}

void setLaunchArguments(int argc, char** argv) {
  storedArguments().assign(argv + (argc > 0 ? 1 : 0), argv + argc);
}
const std::vector<std::string>& launchArguments() {
  return storedArguments();
}

bool runningUnderServiceManager() {
  const char* manager = std::getenv("SORV_SERVICE_MANAGER");
  if (manager && *manager) return true;
  const char* invocation = std::getenv("INVOCATION_ID");
  return invocation && *invocation;
}

void setExitStatus(int status) {
  storedExitStatus() = status;
}
int exitStatus() {
  return storedExitStatus();
}

bool startRelaunchHelper(long flags) {
  auto helper = Bundle::pathForResource("relaunch", "");
  if (!helper) {
    NSLog("Unable to find the relaunch helper in [%s]", Bundle::resourcesPath().c_str());
    return false;
  }
  return spawnDetached(*helper,
                       {Bundle::bundlePath(), std::to_string(getpid()), std::to_string(flags)},
                       false) > 0;
}

std::vector<int> runningApplicationPids(const std::string& name) {
  std::vector<int> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  const int self = getpid();
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid > INT_MAX) continue;
    std::string link = "/proc/" + std::string(entry->d_name) + "/exe";
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;  // another user's process, a kernel thread, or gone
    std::string exe(target, n);
    // A replaced executable still runs under its old name.
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.ends_with(deleted))
      exe.resize(exe.size() - deleted.size());
    if (!sameNameIgnoringCase(deletingPathExtension(lastPathComponent(exe)), name)) continue;
    if (pid == self)
      pids.insert(pids.begin(), static_cast<int>(pid));
    else
      pids.push_back(static_cast<int>(pid));
  }
  closedir(proc);
  return pids;
}

int sorvNSTaskRelaunchSelf() {
  // This process comes first among the running agents: the helper must wait for this one,
  // not for another agent that happens to run on the same machine.
  auto pids = runningApplicationPids(kOwnAppName);
  if (pids.empty() || pids.front() == 0) return 0;
  std::string helperApp = Bundle::resourcesPath() + "/relaunch.app";
  std::string helper = helperApp + "/Contents/MacOS/relaunch";
  if (access(helper.c_str(), X_OK) != 0) {
    NSLog(
        "\n\nsorvNSTaskRelaunchSelf Failed to find the helperApp called: [relaunch.app]??????\n\n");
    return 0;
  }
  spawnDetached(helper, {"\"" + Bundle::bundlePath() + "\"", std::to_string(pids.front())}, true);
  return 0;
}

void forceToRestart() {
  MessageLog::LogMessage("NEED TO FORCE a RESTART...", true);
  NSLog(
      "\n\n**********************************\n  WE ARE FORCING  RESTART....\n"
      "**********************************\n\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  // The shell outlives this process: it kills it, waits (at most 5 s) until it is gone, and
  // starts the bundle's executable again, detached, with this process's arguments.
  const std::string script =
      "kill -9 $1 \n"
      "i=0; while kill -0 $1 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i+1)); done\n"
      "b=\"$2\"; shift 2\n"
      "exec setsid -f \"$b/Contents/MacOS/Sorv-FTPUploader\" \"$@\"";
  std::vector<std::string> args{"-c", script, "", std::to_string(getpid()), Bundle::bundlePath()};
  for (const auto& a : launchArguments()) args.push_back(a);
  if (pid_t shell = spawnDetached("/bin/sh", args, false); shell > 0) {
    int status = 0;
    while (waitpid(shell, &status, 0) < 0 && errno == EINTR) {
    }
  }
  NSLog("*** ERROR: %s should have been terminated, but we are still running",
        Bundle::bundlePath().c_str());
  std::_Exit(1);
}

}  // namespace sorv
