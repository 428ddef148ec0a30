// An idle agent's wakeups: the headless agent as its service runs it (SORV_SOURCE_FOLDER, an
// empty source folder, the default 120 s between scans, a session bus of its own), once with a notification socket that
// this program reads once a second and WATCHDOG_USEC=120000000, once without a service manager.
// After the first scan and a settling pause it measures a quiet window (--seconds, 60) and prints:
//   wakeups a second: the voluntary context switches of all the agent's threads over the
//     window (the sum of voluntary_ctxt_switches in /proc/PID/task/*/status), each one a
//     thread that slept and was woken;
//   the same for the main thread alone, and the notifications a second the socket received.
//
//   bench_idle [--seconds N] [--agent EXECUTABLE]   (EXECUTABLE: a bundle's, e.g. an older build)
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/DatagramSocket.h"
#include "tests/support/TempDir.h"

namespace {

using namespace sorv::test;

long voluntarySwitches(const std::string& statusFile) {
  std::ifstream in(statusFile);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::atol(line.c_str() + 24);
  return 0;
}

// All threads' voluntary switches, and the main thread's.
std::pair<long, long> switches(pid_t pid) {
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  long all = 0;
  if (DIR* dir = ::opendir(task.c_str())) {
    while (dirent* e = ::readdir(dir))
      if (e->d_name[0] != '.') all += voluntarySwitches(task + "/" + e->d_name + "/status");
    ::closedir(dir);
  }
  return {all, voluntarySwitches(task + "/" + std::to_string(pid) + "/status")};
}

struct Figures {
  double all = -1, main = -1, notifications = -1;
};

Figures measure(const std::string& given, bool underManager, int seconds) {
  TempDir dir(TempDir::kShortPath);
  const std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  std::filesystem::create_directories(src);
  std::filesystem::create_directories(mirror);
  const std::string agent = given.empty() ? installAgentBundle(dir.path()) : given;
  writeKioskDefaults(dir.sub("d.plist"), src, mirror, "http://127.0.0.1:9/upload");
  DatagramSocket manager(dir.sub("notify"));
  PrivateBus bus;  // the user's bus, which the service has too
  std::vector<std::string> env{"SORV_SOURCE_FOLDER=" + src, bus.envEntry()};
  if (underManager) {
    env.push_back("NOTIFY_SOCKET=" + dir.sub("notify"));
    env.push_back("WATCHDOG_USEC=120000000");
  }
  const std::string console = dir.sub("console.txt");
  AgentProcess run(agent, "", dir.sub("d.plist"), dir.sub("logs"), console, env);
  if (!waitForText(console, "Waiting For New Images...", 30)) {
    std::fprintf(stderr, "bench_idle: the agent did not start\n%s", readFile(console).c_str());
    return {};
  }
  std::this_thread::sleep_for(std::chrono::seconds(5));
  manager.read();
  const auto [all0, main0] = switches(run.pid());
  const std::size_t heard0 = manager.messages().size();
  // The socket is read once a second, as a manager reads it.
  for (int s = 0; s < seconds; ++s) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    manager.read();
  }
  const auto [all1, main1] = switches(run.pid());
  Figures f;
  f.all = static_cast<double>(all1 - all0) / seconds;
  f.main = static_cast<double>(main1 - main0) / seconds;
  f.notifications = static_cast<double>(manager.messages().size() - heard0) / seconds;
  run.signal(SIGTERM);
  int status = 0;
  run.wait(10, &status);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  std::string agent;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--agent") == 0) agent = argv[i + 1];
  }
  const Figures managed = measure(agent, true, seconds);
  const Figures plain = measure(agent, false, seconds);
  std::printf("An idle headless agent over %d quiet seconds\n", seconds);
  std::printf("| Run | Wakeups/s (all threads) | Main thread | Notifications/s | Target |\n");
  std::printf("|---|---|---|---|---|\n");
  std::printf("| NOTIFY_SOCKET, WATCHDOG_USEC=120000000 | %.2f | %.2f | %.2f | 0.5: %s |\n",
              managed.all, managed.main, managed.notifications,
              managed.all >= 0 && managed.all <= 0.5 ? "met" : "NOT met");
  std::printf("| no service manager | %.2f | %.2f | - | |\n", plain.all, plain.main);
  return managed.all >= 0 && plain.all >= 0 ? 0 : 1;
}
