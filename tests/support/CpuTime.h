// CPU time (user + system) of processes, for benchmarks that print the cost beside the time.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace sorv::test {

// Seconds of CPU the process has used so far, from /proc/PID/stat; -1 when it cannot be read.
inline double cpuSecondsOfProcess(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (pid <= 0 || !std::getline(in, stat)) return -1;
  // The command name may hold blanks and parentheses: the fields follow the last ')'.
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 1));
  std::string skip;
  for (int i = 3; i < 14 && fields >> skip; ++i) {
  }
  long long user = 0, system = 0;
  if (!(fields >> user >> system)) return -1;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Seconds of CPU used so far by this process itself (who == RUSAGE_SELF) or by its children
// that have been waited for (RUSAGE_CHILDREN).
inline double cpuSecondsOfUsage(int who) {
  rusage usage{};
  if (::getrusage(who, &usage) != 0) return -1;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace sorv::test
