// Starting programs: one that runs to its end while its standard output is collected, and one
// that goes on alone in a session of its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sorv {

// At most this much of a program's output is kept; the rest is read and dropped.
inline constexpr std::size_t kMaxProgramOutput = 16u << 20;

struct ProgramRun {
  bool started = false;
  int status = -1;  // the exit status, or -1 when it did not exit normally
  std::string output;
};

class ProgramStarter {
 public:
  virtual ~ProgramStarter() = default;
  // Starts path with args (argv[0] = path, no shell), reads its standard output until it
  // closes while the program runs (so a chatty program never blocks on a full pipe), then
  // waits for it. Safe from several threads.
  virtual ProgramRun run(const std::string& path, const std::vector<std::string>& args) = 0;
  // Starts path with args and exactly the given environment ("NAME=value" each) in a session
  // of its own, without waiting: it outlives this process and is not hit by signals sent to
  // this process's group. Standard output goes to /dev/null when quietStdout. Answers 0 and
  // the new process's id in *pid, else an errno value. Safe from several threads.
  virtual int startDetached(const std::string& path, const std::vector<std::string>& args,
                            const std::vector<std::string>& environment, bool quietStdout,
                            long* pid) = 0;
};

// The real one (posix_spawn).
ProgramStarter& posixPrograms();
// currentEnv().programs() (platform/Env.h).
ProgramStarter& defaultPrograms();

// defaultPrograms().run(path, args).
ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args);

}  // namespace sorv
