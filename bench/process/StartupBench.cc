// The headless agent's start-up, median of --runs (10) runs each:
//   exec to the end of its first scan (an empty source folder),
//   its resident memory when idle after that scan,
//   a hung upload: from the watchdog firing to the fresh process starting the upload again.
//
//   bench_startup [--runs N]
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace sorv;
using namespace sorv::test;
using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The wall-clock time of a console line ("2026-12-09 01:45:36.457 Name[pid:thread] ...") and
// its process id; false for other lines.
bool lineStamp(const std::string& line, double* seconds, long* pid) {
  std::tm tm{};
  int ms = 0;
  if (line.size() < 24 || !strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) return false;
  if (std::sscanf(line.c_str() + 20, "%3d", &ms) != 1) return false;
  auto open = line.find('[');
  if (open == std::string::npos) return false;
  *pid = std::strtol(line.c_str() + open + 1, nullptr, 10);
  *seconds = static_cast<double>(timegm(&tm)) + ms / 1000.0;
  return true;
}

long residentKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

void startUp(int runs, std::vector<double>* firstScanMs, std::vector<double>* rssMb) {
  for (int r = 0; r < runs; ++r) {
    TempDir dir;
    std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
    std::filesystem::create_directories(src + "/Booth");
    std::filesystem::create_directories(mirror);
    std::string agent = installAgentBundle(dir.path());
    writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, "http://127.0.0.1:9/upload");
    std::string console = dir.sub("console.txt");
    auto t0 = Clock::now();
    AgentProcess run(agent, src, dir.sub("defaults.plist"), dir.sub("logs"), console);
    while (readFile(console).find("Status: Waiting For New Images...") == std::string::npos) {
      if (Clock::now() - t0 > std::chrono::seconds(10)) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    firstScanMs->push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    rssMb->push_back(residentKb(processesRunning(agent).empty() ? -1 : processesRunning(agent)[0]) /
                     1024.0);
    run.signal(SIGTERM);
    int status;
    run.wait(5, &status);
  }
}

// Seconds from the watchdog's line to the fresh process's "Uploading..." line.
double backAtWork() {
  TempDir dir;
  std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  std::filesystem::create_directories(mirror);
  writePhoto(src + "/Fair/IMG_1.jpg", false, 32, 24, Dict{{"QM_kioskStation", "K1"}});
  SiteProcess site(dir.sub("store"), {"--fault", "hang", "--fault-times", "1"});
  std::string agent = installAgentBundle(dir.path());
  writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, site.url(),
                     Dict{{sPrefUploadTimeOut, 1}});
  std::string console = dir.sub("console.txt");
  AgentProcess first(agent, src, dir.sub("defaults.plist"), dir.sub("logs"), console);
  auto t0 = Clock::now();
  while (!std::filesystem::exists(mirror + "/Fair/IMG_1.jpg") &&
         Clock::now() - t0 < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (pid_t pid : processesRunning(agent)) kill(pid, SIGTERM);
  double fired = -1, resumed = -1;
  long firstPid = -1;
  std::istringstream lines(readFile(console));
  for (std::string line; std::getline(lines, line);) {
    double t;
    long pid;
    if (!lineStamp(line, &t, &pid)) continue;
    if (firstPid < 0) firstPid = pid;
    if (fired < 0 && line.find("Taking too long to upload") != std::string::npos) fired = t;
    if (fired >= 0 && pid != firstPid && line.find("Uploading...") != std::string::npos) {
      resumed = t;
      break;
    }
  }
  return fired >= 0 && resumed >= 0 ? resumed - fired : -1;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 10;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[++i]));
  std::vector<double> firstScan, rss, back;
  startUp(runs, &firstScan, &rss);
  for (int r = 0; r < runs; ++r) back.push_back(backAtWork());
  auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
  double scanMs = median(firstScan), rssMb = median(rss), backS = median(back);
  std::printf("Start-up of the headless agent, median of %d runs\n", runs);
  std::printf("| Figure | Median | Target | |\n|---|---|---|---|\n");
  std::printf("| exec to end of first scan | %.1f ms | 150 ms | %s |\n", scanMs,
              verdict(scanMs >= 0 && scanMs < 150));
  std::printf("| resident memory when idle | %.1f MB | 16 MB | %s |\n", rssMb,
              verdict(rssMb > 0 && rssMb < 16));
  std::printf("| watchdog to the fresh process uploading | %.2f s | 3 s | %s |\n", backS,
              verdict(backS >= 0 && backS < 3));
  return 0;
}
