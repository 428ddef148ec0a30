// Running external programs, the system version and the version labels.
#include "process/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/MacRoman.h"

extern char** environ;

namespace sorv {

namespace {

struct ProgramRun {
  bool started = false;
  int status = -1;  // the exit status, or -1 when it did not exit normally
  std::string output;
};

// Starts path with args (argv[0] = path), reads its standard output until it closes while
// the program runs (so a chatty program never blocks on a full pipe), then waits for it.
ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args) {
  ProgramRun run;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::vector<std::string> argStore;
  argStore.reserve(args.size() + 1);
  argStore.push_back(path);
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return run;
  }
  run.started = true;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      std::size_t keep = std::min<std::size_t>(
          n, kMaxProgramOutput - std::min(kMaxProgramOutput, run.output.size()));
      run.output.append(buf, keep);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(fds[0]);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return run;
}

bool containsIgnoringCase(const std::string& text, const std::string& needle) {
  auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

}  // namespace

std::optional<std::string> runShellScript2(const std::optional<std::string>& program,
                                           const std::vector<std::string>* args) {
  if (!program) {
    NSLog("\n\nrunShellScript2 FAILED => scriptName==nil!\n\n");
    return std::nullopt;
  }
  ProgramRun run = runProgram(*program, args ? *args : std::vector<std::string>{});
  if (!run.started) return std::nullopt;
  if (run.status != 0) NSLog("runShellScript2 Task failed.");
  if (!isValidUtf8(run.output)) return std::nullopt;
  return run.output;
}

bool runShellScript(const std::optional<std::string>& scriptName,
                    const std::vector<std::string>* args) {
  if (!scriptName) {
    NSLog("\n\nrunShellScript FAILED => scriptName==nil!\n\n");
    return false;
  }
  std::string path = Bundle::resourcesPath() + "/" + *scriptName;
  // A name that leaves the resources folder is no script of the bundle.
  bool inBundle = scriptName->find('/') == std::string::npos && *scriptName != "." &&
                  *scriptName != ".." && access(path.c_str(), X_OK) == 0;
  if (!inBundle) {
    NSLog("\n\nrunShellScript FAILED => UNABLE to find script named: [%s]!\n\n",
          scriptName->c_str());
    return false;
  }
  ProgramRun run = runProgram(path, args ? *args : std::vector<std::string>{});
  if (!run.started) {
    NSLog("\n\nrunShellScript FAILED => UNABLE to find script named: [%s]!\n\n",
          scriptName->c_str());
    return false;
  }
  NSLog(run.status != 0 ? "Task failed." : "Task succeeded.");
  std::string output = isValidUtf8(run.output) ? run.output : std::string();
  if (containsIgnoringCase(output, "not connected")) {
    NSLog("\n\nTHERE IS NO INTERNET CONNECTION on ftp shell level...\n\n");
    return false;
  }
  return true;
}

// ---- System version

namespace {
constexpr const char* kSwVers = "/usr/bin/sw_vers";
bool hasSwVers() {
  return access(kSwVers, X_OK) == 0;
}
}  // namespace

std::optional<std::string> systemVersionText() {
  if (hasSwVers()) {
    std::vector<std::string> args{"-productVersion"};
    return runShellScript2(std::string(kSwVers), &args);
  }
  struct utsname u;
  if (uname(&u) != 0) return std::nullopt;
  return std::string(u.release);
}

bool versionAtLeast(const std::string& text, int major, int minor, int patch) {
  int parts[3] = {0, 0, 0};
  if (std::sscanf(text.c_str(), "%d.%d.%d", &parts[0], &parts[1], &parts[2]) < 1) return false;
  const int want[3] = {major, minor, patch};
  for (int i = 0; i < 3; ++i)
    if (parts[i] != want[i]) return parts[i] > want[i];
  return true;
}

VersionThreshold minimumSystemVersion() {
  return hasSwVers() ? VersionThreshold{10, 4, 0} : VersionThreshold{2, 6, 0};
}
VersionThreshold watcherSystemVersion() {
  return hasSwVers() ? VersionThreshold{10, 5, 0} : VersionThreshold{2, 6, 13};
}

// ---- Version labels

std::string bundleShortVersion() {
  const std::string* v = dictGetString(Bundle::infoDictionary(), "CFBundleShortVersionString");
  return v ? *v : "Unknown CFBundleShortVersionString";
}

int fillInVersionString(VersionField* field) {
  if (!field) return 0;
  std::string version = bundleShortVersion();
  field->setStringValue((field->tag() == 888 ? "App Vers: " : "Version: ") + version);
  std::string line = Bundle::displayName() + " Version is [" + version + "]";
  MessageLog::LogMessage(line.c_str(), true);
  return 1;
}

}  // namespace sorv
