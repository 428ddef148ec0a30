// The relaunch helper of the bundle. Two forms:
//   relaunch BUNDLE PID FLAGS      (Resources/relaunch)
//   relaunch "BUNDLE" PID          (Resources/relaunch.app/Contents/MacOS/relaunch)
// It waits until process PID has ended, then starts BUNDLE/Contents/MacOS/Sorv-FTPUploader
// again with the agent's arguments (from SORV_RELAUNCH_ARGS, else the process's own command
// line while it still runs), in the agent's working folder, which it inherited, so the new
// agent goes on with the same folder (and --headless).
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "process/Process.h"

namespace {

std::string unquoted(std::string s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// The process's arguments after argv[0], from /proc/PID/cmdline (at most 1 MB).
std::vector<std::string> argumentsOf(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string all;
  all.reserve(4096);
  char c;
  while (all.size() < (1u << 20) && in.get(c)) all.push_back(c);
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.emplace_back(all, start, end - start);
    start = end + 1;
  }
  if (!args.empty()) args.erase(args.begin());
  return args;
}

// True while the process runs (a zombie waiting for its parent counts as ended).
bool isRunning(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (stat.empty()) return false;
  std::size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return false;
  char state = stat[paren + 2];
  return state != 'Z' && state != 'X';
}

void waitForEnd(long pid) {
  // A pidfd becomes readable when the process ends; polling /proc is the fallback.
  int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    close(fd);
    return;
  }
  while (isRunning(pid)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s BUNDLE PID [FLAGS]\n", argv[0]);
    return 2;
  }
  std::string bundle = unquoted(argv[1]);
  char* end = nullptr;
  long pid = std::strtol(argv[2], &end, 10);
  if (*end != '\0' || pid <= 0) {
    std::fprintf(stderr, "relaunch: bad process id [%s]\n", argv[2]);
    return 2;
  }
  long flags = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1;

  const char* handed = std::getenv("SORV_RELAUNCH_ARGS");
  std::vector<std::string> args = handed ? sorv::decodeRelaunchArguments(handed) : argumentsOf(pid);
  unsetenv("SORV_RELAUNCH_ARGS");

  waitForEnd(pid);
  std::string exe = bundle + "/Contents/MacOS/Sorv-FTPUploader";
  std::vector<char*> av{exe.data()};
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  std::fprintf(stderr, "relaunch: process %ld ended; starting [%s] (flags %ld)\n", pid, exe.c_str(),
               flags);
  setsid();
  execv(exe.c_str(), av.data());
  std::perror("relaunch: exec");
  return 1;
}
