#include "platform/Program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace sorv {

namespace {

// argv (or an environment) for posix_spawn: pointers into store, ending with nullptr.
std::vector<char*> nullTerminated(std::vector<std::string>& store) {
  std::vector<char*> out;
  out.reserve(store.size() + 1);
  for (auto& s : store) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

class PosixPrograms : public ProgramStarter {
 public:
  ProgramRun run(const std::string& path, const std::vector<std::string>& args) override;
  int startDetached(const std::string& path, const std::vector<std::string>& args,
                    const std::vector<std::string>& environment, bool quietStdout,
                    long* pid) override;
};

ProgramRun PosixPrograms::run(const std::string& path, const std::vector<std::string>& args) {
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
  std::vector<char*> argv = nullTerminated(argStore);
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

int PosixPrograms::startDetached(const std::string& path, const std::vector<std::string>& args,
                                 const std::vector<std::string>& environment, bool quietStdout,
                                 long* pid) {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quietStdout)
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argStore{path};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv = nullTerminated(argStore);
  std::vector<std::string> envStore = environment;
  std::vector<char*> envp = nullTerminated(envStore);
  pid_t child = -1;
  int rc = posix_spawn(&child, path.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc == 0 && pid) *pid = child;
  return rc;
}

}  // namespace

ProgramStarter& posixPrograms() {
  static PosixPrograms* programs = new PosixPrograms;
  return *programs;
}

ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args) {
  return defaultPrograms().run(path, args);
}

}  // namespace sorv
