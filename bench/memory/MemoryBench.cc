// One agent drains batches of new photos, one batch after another, with auto-synchronise on
// (2 s) as a kiosk runs all day; after each batch has left the source folder it prints the
// agent's resident memory, descriptors and threads. A kiosk that uploads for weeks between
// restarts needs the memory flat: the last line gives the growth from the first --mark photos
// (6,000) to the end.
//
//   bench_memory [--photos 20000] [--batch 2000] [--folders 20] [--mark 6000] [--heaptrack OUT]
//   bench_memory --waiting 10000 [--folders 20] [--heaptrack OUT]
//
// --heaptrack OUT runs the agent under heaptrack (Debian's heaptrack), its data in OUT.*.
// --waiting N: a backlog instead. N photos wait while the site is down (its port refuses);
// once the agent counts them all, and again after 30 s of its retries, the RSS is printed
// beside an idle agent's; then the site comes back, and the peak of the drain and the RSS
// after it are printed.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace sorv;
using namespace sorv::test;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Options {
  int photos = 20000;
  int batch = 2000;
  int folders = 20;
  int mark = 6000;
  int waiting = 0;
  std::string heaptrack;  // runs the agent under heaptrack, its data written here
};

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--heaptrack") == 0) {
      o->heaptrack = argv[i + 1];
      continue;
    }
    int value = std::atoi(argv[i + 1]);
    if (value <= 0) return false;
    if (std::strcmp(argv[i], "--photos") == 0)
      o->photos = value;
    else if (std::strcmp(argv[i], "--batch") == 0)
      o->batch = value;
    else if (std::strcmp(argv[i], "--folders") == 0)
      o->folders = value;
    else if (std::strcmp(argv[i], "--mark") == 0)
      o->mark = value;
    else if (std::strcmp(argv[i], "--waiting") == 0)
      o->waiting = value;
    else
      return false;
  }
  return argc % 2 == 1;
}

long kilobytesOf(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return 0;
}

int entriesIn(const std::string& folder) {
  int n = 0;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

int photosLeft(const std::string& src) {
  int n = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(src, ec), end; !ec && it != end; it.increment(ec))
    n += it->is_regular_file(ec);
  return n;
}

// A batch written beside the source, then renamed in one photo at a time, as a kiosk's
// camera software delivers finished photos.
void addBatch(const std::string& stage, const std::string& src, int first, int count, int folders) {
  const Dict meta{{"QM_kioskStation", "K1"}};
  const std::string bytes = writePhoto(stage + "/one.jpg", false, 64, 48, meta);
  for (int i = first; i < first + count; ++i) {
    std::string folder = src + "/Event/Booth " + std::to_string(i % folders);
    fs::create_directories(folder);
    std::string staged = stage + "/IMG_" + std::to_string(i) + ".jpg";
    writeFile(staged, bytes);
    fs::rename(staged, folder + "/IMG_" + std::to_string(i) + ".jpg");
  }
}

// The agent's sorv_waiting_photos in its metrics file; -1 before it has one.
long waitingIn(const std::string& metrics) {
  std::ifstream in(metrics);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("sorv_waiting_photos ", 0) == 0) return std::atol(line.c_str() + 20);
  return -1;
}

double megabytes(pid_t pid, const char* field) {
  return kilobytesOf(pid, field) / 1024.0;
}

// The backlog: N photos behind a site that is down, then drained when it comes back.
// The agent's process (under heaptrack, the child it runs); 0 when none shows within 20 s.
pid_t agentPid(const std::string& agent) {
  pid_t pid = 0;
  waitFor(
      [&] {
        auto pids = processesRunning(agent);
        if (!pids.empty()) pid = pids.front();
        return pid > 0;
      },
      20);
  return pid;
}

int runBacklog(const Options& o, const std::string& agent, TempDir& dir) {
  const std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  const std::string metrics = dir.sub("sorv.prom");
  auto port = std::make_unique<RefusingPort>();
  writeKioskDefaults(dir.sub("defaults.plist"), src, mirror,
                     "http://127.0.0.1:" + std::to_string(port->port()) + "/upload",
                     Dict{{"prefAutoSynchronize", true}, {"prefSecondsBetweenScans", 2}});
  std::vector<std::string> runAs;
  if (!o.heaptrack.empty()) runAs = {"/usr/bin/heaptrack", "-o", o.heaptrack};
  AgentProcess run(agent, src, dir.sub("defaults.plist"), dir.sub("logs"), dir.sub("console.txt"),
                   {"SORV_METRICS_FILE=" + metrics}, runAs);
  const pid_t pid = agentPid(agent);
  if (!run.started() || pid <= 0) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double idle = megabytes(pid, "VmRSS:");
  addBatch(dir.sub("stage"), src, 0, o.waiting, o.folders);
  const auto t0 = Clock::now();
  if (!waitFor([&] { return waitingIn(metrics) >= o.waiting; }, 600)) {
    std::fprintf(stderr, "the agent did not count the backlog (console %s)\n",
                 dir.sub("console.txt").c_str());
    return 1;
  }
  const double counted = std::chrono::duration<double>(Clock::now() - t0).count();
  const double atCount = megabytes(pid, "VmRSS:");
  std::this_thread::sleep_for(std::chrono::seconds(30));
  const double later = megabytes(pid, "VmRSS:");
  std::printf("One agent, %d photos waiting in %d folders behind a site that is down\n", o.waiting,
              o.folders);
  std::printf(
      "RSS idle %.1f MB; all %d counted after %.1f s: %.1f MB; 30 s of retries later: "
      "%.1f MB (%.2f KB a waiting photo)\n",
      idle, o.waiting, counted, atCount, later, (later - idle) * 1024 / o.waiting);
  std::fflush(stdout);
  const int sitePort = port->port();
  port.reset();
  SiteProcess site(dir.sub("store"), {"--port", std::to_string(sitePort)});
  const auto t1 = Clock::now();
  if (!site.ok() || !waitFor([&] { return photosLeft(src) == 0; }, 3600)) {
    std::fprintf(stderr, "the backlog was not drained (console %s)\n",
                 dir.sub("console.txt").c_str());
    return 1;
  }
  const double drained = std::chrono::duration<double>(Clock::now() - t1).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  std::printf("the site back: drained in %.1f s, peak RSS %.1f MB, RSS after %.1f MB\n", drained,
              megabytes(pid, "VmHWM:"), megabytes(pid, "VmRSS:"));
  std::fflush(stdout);
  kill(pid, SIGTERM);
  int status = 0;
  run.wait(60, &status);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: %s [--photos N] [--batch B] [--folders F] [--mark M] [--heaptrack OUT]\n"
                 "       %s --waiting N [--folders F] [--heaptrack OUT]\n",
                 argv[0], argv[0]);
    return 2;
  }
  TempDir dir;
  if (o.waiting > 0) {
    fs::create_directories(dir.sub("Source"));
    fs::create_directories(dir.sub("Mirror"));
    fs::create_directories(dir.sub("stage"));
    return runBacklog(o, installAgentBundle(dir.path()), dir);
  }
  SiteProcess site(dir.sub("store"));
  if (!site.ok()) {
    std::fprintf(stderr, "sorv-site did not start\n");
    return 1;
  }
  const std::string src = dir.sub("Source"), mirror = dir.sub("Mirror"), stage = dir.sub("stage");
  fs::create_directories(src);
  fs::create_directories(mirror);
  fs::create_directories(stage);
  writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, site.url(),
                     Dict{{"prefAutoSynchronize", true}, {"prefSecondsBetweenScans", 2}});
  const std::string agent = installAgentBundle(dir.path());
  std::vector<std::string> runAs;
  if (!o.heaptrack.empty()) runAs = {"/usr/bin/heaptrack", "-o", o.heaptrack};
  AgentProcess run(agent, src, dir.sub("defaults.plist"), dir.sub("logs"), dir.sub("console.txt"),
                   {}, runAs);
  if (!run.started()) return 1;
  const pid_t pid = agentPid(agent);
  if (pid <= 0) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(2));

  std::printf("One agent, batches of %d photos in %d folders, auto-synchronise every 2 s\n",
              o.batch, o.folders);
  std::printf("%8s %10s %9s %8s %8s %10s\n", "photos", "photos/s", "RSS MB", "HWM MB", "fds",
              "threads");
  std::printf("%8d %10s %9.1f %8.1f %8d %10ld\n", 0, "-", kilobytesOf(pid, "VmRSS:") / 1024.0,
              kilobytesOf(pid, "VmHWM:") / 1024.0,
              entriesIn("/proc/" + std::to_string(pid) + "/fd"), kilobytesOf(pid, "Threads:"));
  double atMark = -1, rss = 0;
  int done = 0;
  while (done < o.photos) {
    const int count = std::min(o.batch, o.photos - done);
    addBatch(stage, src, done, count, o.folders);
    const auto t0 = Clock::now();
    if (!waitFor([&] { return photosLeft(src) == 0; }, 1800)) {
      std::fprintf(stderr, "the agent did not drain the batch (console %s)\n",
                   dir.sub("console.txt").c_str());
      return 1;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    done += count;
    // One more pass of the timer, so that the figures are those of an idle agent.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    if (kill(pid, 0) != 0) {
      std::fprintf(stderr, "the agent ended (console %s)\n", dir.sub("console.txt").c_str());
      return 1;
    }
    rss = kilobytesOf(pid, "VmRSS:") / 1024.0;
    if (atMark < 0 && done >= o.mark) atMark = rss;
    std::printf("%8d %10.1f %9.1f %8.1f %8d %10ld\n", done, count / seconds, rss,
                kilobytesOf(pid, "VmHWM:") / 1024.0,
                entriesIn("/proc/" + std::to_string(pid) + "/fd"), kilobytesOf(pid, "Threads:"));
    std::fflush(stdout);
  }
  if (atMark >= 0)
    std::printf(
        "RSS after %d photos %.1f MB, after %d photos %.1f MB: %+.1f MB (%.2f KB a photo)\n",
        o.mark, atMark, done, rss, rss - atMark,
        done > o.mark ? (rss - atMark) * 1024 / (done - o.mark) : 0.0);
  std::fflush(stdout);
  kill(pid, SIGTERM);  // the agent itself, also under heaptrack
  int status = 0;
  run.wait(60, &status);
  return 0;
}
