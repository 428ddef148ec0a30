// Drains a folder of small photos into the reference site on loopback with the agent's own
// executable, side by side with a shell loop of `curl -F` uploads (the same form fields) and
// `mv` into a mirror; then the same photos behind files without metadata. Prints items per
// second and the two ratios.
//
//   bench_drain [--items N] [--noise M] [--repeat R]
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace sorv;
using namespace sorv::test;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kFolders = 10;
const char* const kEvent = "Bench Event";
const char* const kStation = "K1";

struct Options {
  int items = 500;
  int noise = 5000;
  int repeat = 1;
};

std::string folderFor(int i) {
  return "Event/Booth " + std::to_string(i % kFolders);
}
std::string photoName(int i) {
  return "IMG_" + std::to_string(i) + ".jpg";
}

// items photos with metadata in kFolders subfolders; noise photos without metadata among them.
void makeSource(const std::string& src, int items, int noise) {
  photos::JpegOptions without;
  without.exif = photos::ExifOptions{"2026:05:01 10:20:30", std::nullopt};
  std::string withoutBytes = photos::encodeJpeg(without);
  for (int i = 0; i < items; ++i) {
    Dict meta{{"QM_kioskStation", kStation}, {"OriginalPath", "/orig/" + photoName(i)}};
    writePhoto(src + "/" + folderFor(i) + "/" + photoName(i), false, 64, 48, meta);
  }
  for (int i = 0; i < noise; ++i)
    photos::writeBytes(src + "/" + folderFor(i) + "/raw_" + std::to_string(i) + ".jpg",
                       withoutBytes);
}

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The floor a user could script: per photo one curl upload with the agent's form fields and
// one mv into the mirror at the same relative path.
double drainWithCurl(const std::string& dir, const std::string& url, int items) {
  std::string src = dir + "/src", mirror = dir + "/mirror";
  makeSource(src, items, 0);
  std::ofstream script(dir + "/loop.sh");
  script << "set -e\n";
  for (int i = 0; i < items; ++i) {
    std::string folder = folderFor(i), rel = folder + "/" + photoName(i);
    std::string client = folder.substr(folder.rfind('/') + 1);
    script << "curl -sS -o /dev/null -F username=bench -F password=bench"
           << " -F " << quoted(std::string("event=") + kEvent + "_" + kStation) << " -F "
           << quoted("client=" + client) << " -F 'capturetime=2026-05-01 10:20:30'"
           << " -F metadata= -F fuseaction=upload.upload"
           << " -F " << quoted("localfilelocation=/orig/" + photoName(i)) << " -F Submit=Upload"
           << " -F " << quoted("imgfile=@" + src + "/" + rel + ";type=image/jpeg") << " "
           << quoted(url) << "\n"
           << "mkdir -p " << quoted(mirror + "/" + folder) << "\n"
           << "mv " << quoted(src + "/" + rel) << " " << quoted(mirror + "/" + rel) << "\n";
  }
  script.close();
  auto start = Clock::now();
  int rc = std::system(("bash " + quoted(dir + "/loop.sh")).c_str());
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (rc != 0) std::fprintf(stderr, "curl loop failed (%d)\n", rc);
  return seconds;
}

int filesIn(const std::string& root, const std::string& prefix) {
  int n = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file() && it->path().filename().string().rfind(prefix, 0) == 0) ++n;
  return n;
}

// Launches the agent on the folder and times it until it reports the folder done.
double drainWithAgent(const std::string& dir, const std::string& url, int items, int noise) {
  std::string src = dir + "/src", mirror = dir + "/mirror";
  makeSource(src, items, noise);
  fs::create_directories(mirror);
  std::string agent = installAgentBundle(dir);
  writeDefaults(dir + "/defaults.plist", Dict{{"prefLocalSourceUploadFolder", src},
                                              {"prefLocalMasterMirrorSiteFolder", mirror},
                                              {"userLoginName", "bench"},
                                              {"userLoginPassword", "bench"},
                                              {"userEnteredEventName", kEvent},
                                              {"prefVyrURL", url}});
  std::string console = dir + "/console.txt";
  auto start = Clock::now();
  AgentProcess run(agent, src, dir + "/defaults.plist", dir + "/logs", console);
  bool done = waitForText(console, "Status: Waiting For New Images...", 600);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.signal(SIGTERM);
  int status = 0;
  run.wait(10, &status);
  int moved = filesIn(mirror, "IMG_");
  if (!done || moved != items)
    std::fprintf(stderr, "agent drained %d of %d items%s (console %s)\n", moved, items,
                 done ? "" : " before the time limit", console.c_str());
  return seconds;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    int value = std::atoi(argv[i + 1]);
    if (value < 0) return false;
    if (!std::strcmp(argv[i], "--items")) {
      o->items = std::max(value, 1);
    } else if (!std::strcmp(argv[i], "--noise")) {
      o->noise = value;
    } else if (!std::strcmp(argv[i], "--repeat")) {
      o->repeat = std::max(value, 1);
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr, "usage: %s [--items N] [--noise M] [--repeat R]\n", argv[0]);
    return 2;
  }
  TempDir siteDir;
  SiteProcess site(siteDir.sub("store"));
  if (!site.ok()) {
    std::fprintf(stderr, "sorv-site did not start\n");
    return 1;
  }
  std::vector<double> curl, agent, agentNoise;
  for (int r = 0; r < o.repeat; ++r) {
    {
      TempDir d;
      curl.push_back(drainWithCurl(d.path(), site.url(), o.items));
    }
    {
      TempDir d;
      agent.push_back(drainWithAgent(d.path(), site.url(), o.items, 0));
    }
    {
      TempDir d;
      agentNoise.push_back(drainWithAgent(d.path(), site.url(), o.items, o.noise));
    }
  }
  double c = median(curl), a = median(agent), n = median(agentNoise);
  std::printf("%d small JPEGs in %d subfolders, site on loopback, median of %d\n", o.items,
              kFolders, o.repeat);
  std::printf("curl -F + mv shell loop        : %7.2f s  %7.1f items/s\n", c, o.items / c);
  std::printf("agent                          : %7.2f s  %7.1f items/s\n", a, o.items / a);
  std::printf("agent, +%d files without metadata: %7.2f s  %7.1f items/s\n", o.noise, n,
              o.items / n);
  std::printf("ratio agent / curl loop (time)            : %.2f  (target <= 1.20)\n", a / c);
  std::printf("ratio %d-file run / %d-file run (time): %.2f  (target < 2.00)\n", o.items + o.noise,
              o.items, n / a);
  return 0;
}
