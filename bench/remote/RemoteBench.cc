// The remote control's speed, beside the bus's own:
//   a command event (getValue of prefSecondsBetweenScans) from one client connection, median
//   and 95th percentile over --calls (1000) calls, beside the bus daemon's GetId on the same
//   connection;
//   `sorvctl get prefSecondsBetweenScans` end to end beside `busctl --user call` of the same
//   method, median over --runs (100) runs.
//
//   with --drain N, `sorvctl status` end to end while the agent drains N photos, median and
//   95th percentile over the calls made during the drain, beside the GetStatus call alone, and
//   how far the status's Waiting was from the photos left in the source.
//
//   bench_remote [--calls N] [--runs N] [--drain N]
#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "settings/RemoteClient.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

using namespace sorv::test;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

template <typename F>
std::vector<double> timeEach(int n, F fn) {
  std::vector<double> ms;
  for (int i = 0; i < n; ++i) {
    auto start = Clock::now();
    fn();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return ms;
}

// Runs argv to its end with its output discarded; false when it failed.
bool runQuietly(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void print(const char* what, const std::vector<double>& ms) {
  std::printf("%-44s median %7.3f ms   p95 %7.3f ms\n", what, percentile(ms, 0.5),
              percentile(ms, 0.95));
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 1000, runs = 100, drain = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--drain") == 0) drain = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--calls") == 0) calls = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  TempDir dir;
  PrivateBus bus;
  if (!bus.ok()) {
    std::fprintf(stderr, "bench_remote: dbus-daemon did not start\n");
    return 1;
  }
  SiteProcess site(dir.sub("store"));
  std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  std::filesystem::create_directories(src);
  std::filesystem::create_directories(mirror);
  writeKioskDefaults(dir.sub("d.plist"), src, mirror, site.url());
  std::string console = dir.sub("console.txt");
  AgentProcess agent(installAgentBundle(dir.path()), src, dir.sub("d.plist"), dir.sub("logs"),
                     console, {bus.envEntry()});
  if (!waitForText(console, "Status: Waiting For New Images...", 30)) {
    std::fprintf(stderr, "bench_remote: the agent did not start\n%s", readFile(console).c_str());
    return 1;
  }
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

  auto connection = sdbus::createSessionBusConnection();
  auto agentProxy =
      sdbus::createProxy(*connection, "com.quenmor.SorvUploader", "/com/quenmor/SorvUploader");
  auto busProxy = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  std::vector<sdbus::Variant> items = {sdbus::Variant(std::string("getValue")),
                                       sdbus::Variant(std::string("prefSecondsBetweenScans")),
                                       sdbus::Variant(std::string())};
  auto event = [&] {
    sdbus::Variant reply;
    agentProxy->callMethod("HandleEvent")
        .onInterface("com.quenmor.SorvUploader.Remote")
        .withArguments(std::string("sorv"), std::string("1234"), items)
        .storeResultsTo(reply);
  };
  auto getId = [&] {
    std::string id;
    busProxy->callMethod("GetId").onInterface("org.freedesktop.DBus").storeResultsTo(id);
  };
  timeEach(50, event);  // warm-up
  timeEach(50, getId);
  auto eventMs = timeEach(calls, event);
  auto getIdMs = timeEach(calls, getId);
  std::printf("over %d calls from one connection:\n", calls);
  print("command event (getValue) to the agent", eventMs);
  print("bus daemon GetId", getIdMs);
  std::printf("ratio of medians: %.2fx (target within 1.5x)\n\n",
              percentile(eventMs, 0.5) / percentile(getIdMs, 0.5));

  std::vector<std::string> sorvctl = {SORV_SORVCTL_PATH, "get", "prefSecondsBetweenScans"};
  std::vector<std::string> busctl = {"/usr/bin/busctl",
                                     "--user",
                                     "call",
                                     "com.quenmor.SorvUploader",
                                     "/com/quenmor/SorvUploader",
                                     "com.quenmor.SorvUploader.Remote",
                                     "HandleEvent",
                                     "ssav",
                                     "sorv",
                                     "1234",
                                     "3",
                                     "s",
                                     "getValue",
                                     "s",
                                     "prefSecondsBetweenScans",
                                     "s",
                                     ""};
  bool ok = true;
  auto ctlMs = timeEach(runs, [&] { ok = runQuietly(sorvctl) && ok; });
  auto busctlMs = timeEach(runs, [&] { ok = runQuietly(busctl) && ok; });
  std::printf("end to end over %d runs%s:\n", runs, ok ? "" : " (SOME FAILED)");
  print("sorvctl get prefSecondsBetweenScans", ctlMs);
  print("busctl --user call HandleEvent", busctlMs);
  std::printf("ratio of medians: %.2fx (target within 1.2x)\n",
              percentile(ctlMs, 0.5) / percentile(busctlMs, 0.5));
  if (drain > 0) {
    // Photos land in a folder beside the source and move in at once, as a kiosk's do.
    const std::string staging = dir.sub("Staging");
    const sorv::Dict meta{{"QM_kioskStation", "K1"}};
    for (int i = 0; i < drain; ++i)
      writePhoto(staging + "/Fair" + std::to_string(i / 500) + "/IMG_" + std::to_string(i) + ".jpg",
                 false, 64, 48, meta);
    for (int f = 0; f * 500 < drain; ++f)
      std::filesystem::rename(staging + "/Fair" + std::to_string(f),
                              src + "/Fair" + std::to_string(f));
    auto start = Clock::now();
    runQuietly({SORV_SORVCTL_PATH, "upload-now"});
    std::vector<std::string> status = {SORV_SORVCTL_PATH, "status"};
    std::vector<double> statusMs;
    auto left = [&] {
      std::size_t n = 0;
      for (auto& e : std::filesystem::recursive_directory_iterator(src))
        n += e.is_regular_file() ? 1 : 0;
      return n;
    };
    // Beside sorvctl (mostly its own start), the GetStatus call alone from this process, and
    // how far its Waiting is from the photos still in the source just after it answered.
    std::vector<double> callMs;
    long long worstGap = 0;
    std::size_t remaining = drain;
    while (remaining > 0) {
      auto t = Clock::now();
      ok = runQuietly(status) && ok;
      statusMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
      t = Clock::now();
      sorv::RemoteCallResult r = sorv::requestStatus();
      callMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
      if (statusMs.size() % 20 == 0) {
        remaining = left();
        const sorv::Dict* d = r.reply.asDict();
        const sorv::Value* waiting = d ? sorv::dictGet(*d, "waiting") : nullptr;
        if (waiting)
          worstGap = std::max(
              worstGap, std::llabs(waiting->integerValue() - static_cast<long long>(remaining)));
      }
      if (std::chrono::duration<double>(Clock::now() - start).count() > 3600) break;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("\nduring a drain of %d photos (%.1f s, %zu left):\n", drain, seconds, remaining);
    print("sorvctl status", statusMs);
    print("GetStatus call from one process", callMs);
    std::printf("calls: %zu (target: median under 20 ms)\n", statusMs.size());
    std::printf("Waiting against the photos left in the source: at most %lld apart\n", worstGap);
  }
  agent.signal(SIGTERM);
  int status = 0;
  agent.wait(10, &status);
  return ok ? 0 : 1;
}
