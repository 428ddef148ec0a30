// One agent drains batches of new photos, one batch after another, with auto-synchronise on
// (2 s) as a kiosk runs all day; after each batch has left the source folder it prints the
// agent's resident memory, descriptors and threads. A kiosk that uploads for weeks between
// restarts needs the memory flat: the last line gives the growth from the first --mark photos
// (6,000) to the end.
//
//   bench_memory [--photos 20000] [--batch 2000] [--folders 20] [--mark 6000] [--heaptrack OUT]
//
// --heaptrack OUT runs the agent under heaptrack (Debian's heaptrack), its data in OUT.*.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: %s [--photos N] [--batch B] [--folders F] [--mark M] [--heaptrack OUT]\n",
                 argv[0]);
    return 2;
  }
  TempDir dir;
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
  pid_t pid = 0;
  waitFor(
      [&] {
        auto pids = processesRunning(agent);
        if (!pids.empty()) pid = pids.front();
        return pid > 0;
      },
      20);
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
