// Starting a program and collecting its standard output.
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

// Starts path with args (argv[0] = path, no shell), reads its standard output until it closes
// while the program runs (so a chatty program never blocks on a full pipe), then waits for it.
// Safe from several threads.
ProgramRun runProgram(const std::string& path, const std::vector<std::string>& args);

}  // namespace sorv
