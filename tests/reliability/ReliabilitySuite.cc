// The agent's promise to a kiosk: no photo lost, never stopped for good, on through bad files
// and bad replies. Runs the bundle's executable against sorv-site and real folders and prints
// one Markdown table (also written to --out):
//
//   reliability_suite [--short] [--out FILE] [--seed N] [--only SECTION] [--jobs N]
//
// Rows: every fault mode of the site (the first few POSTs faulted, then normal answers), one
// POST in three dropped, a site down and back, a proxy refusing and then letting through, bad input
// among good photos, a bus, journal and service manager that stop, SIGKILL at random moments across
// two file systems, and a load run. A row passes when nothing is lost or damaged, the agent neither
// crashed nor hung, and everything it could upload was uploaded; rows that say so also need every
// photo stored once.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files/SafeMove.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/DatagramSocket.h"
#include "tests/support/ProxyProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace sorv;
using namespace sorv::test;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

bool gShort = false;

struct Row {
  Row(std::string s, std::string n) : section(std::move(s)), name(std::move(n)) {}
  std::string section, name;
  int photos = 0, uploaded = 0, problem = 0, source = 0, lost = 0, damaged = 0, twice = 0;
  double postsPerPhoto = 0, seconds = -1;
  bool crashed = false;
  bool mustDrain = true;      // every photo must have left the source folder
  bool twiceByBytes = false;  // a name may come twice when its bytes differ (a new version)
  bool noProblem = false;     // no photo is at fault: none may go to the problem folder
  bool onceEach = false;      // a drain that must also store no photo twice
  std::string note;
  bool pass() const {
    return lost == 0 && damaged == 0 && !crashed && (!mustDrain || source == 0) &&
           ((mustDrain && !onceEach) || twice == 0) && (!noProblem || problem == 0);
  }
};

double since(SteadyClock::time_point t0) {
  return std::chrono::duration<double>(SteadyClock::now() - t0).count();
}

bool waitUntil(const std::function<bool()>& done, double seconds) {
  auto t0 = SteadyClock::now();
  while (!done()) {
    if (since(t0) > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// A kiosk: source and mirror folders, a site, the agent's bundle and its defaults.
struct Kiosk {
  TempDir disk;
  std::string src, mirror = disk.sub("Mirror"), problem = disk.sub("Problem Folder");
  std::string store = disk.sub("store"), console = disk.sub("console.txt");
  std::string agent = installAgentBundle(disk.path());
  std::map<std::string, std::string> photos;  // relative path -> bytes

  explicit Kiosk(const std::string& sourceRoot = "") {
    src = (sourceRoot.empty() ? disk.path() : sourceRoot) + "/Source";
    fs::create_directories(src);
    fs::create_directories(mirror);
  }
  void addPhotos(int n, int folders, const std::string& prefix = "IMG_") {
    for (int i = 0; i < n; ++i) {
      std::string rel = "Event/Booth " + std::to_string(i % folders) + "/" + prefix +
                        std::to_string(photos.size()) + (i % 7 == 6 ? ".png" : ".jpg");
      photos[rel] = writePhoto(src + "/" + rel, i % 7 == 6, 48 + i % 32, 36,
                               Dict{{"QM_kioskStation", "K" + std::to_string(i % 3)}});
    }
  }
  void prefs(const std::string& url, const Dict& more = {}) {
    writeKioskDefaults(disk.sub("defaults.plist"), src, mirror, url, more);
  }
  AgentProcess start(const std::vector<std::string>& runAs = {},
                     const std::vector<std::string>& env = {}) {
    return AgentProcess(agent, src, disk.sub("defaults.plist"), disk.sub("logs"), console, env,
                        runAs);
  }
  int leftInSource() const {
    int n = 0;
    for (const auto& [rel, bytes] : photos) n += fs::exists(src + "/" + rel);
    return n;
  }
  bool drained() const { return leftInSource() == 0; }
  // Uploads the site has stored so far.
  int storedCount() const {
    int n = 0;
    std::ifstream log(store + "/.requests.log");
    for (std::string line; std::getline(log, line);) n += line.ends_with("\tstored");
    return n;
  }
  // Ends every agent process of this kiosk (a relaunch may have made a new one).
  void stopAgents() {
    for (pid_t pid : processesRunning(agent)) kill(pid, SIGTERM);
    waitUntil([&] { return processesRunning(agent).empty(); }, 10);
    for (pid_t pid : processesRunning(agent)) kill(pid, SIGKILL);
  }
  // Where each photo is, whole or not, and what the site received.
  void account(Row* row) const {
    row->photos = static_cast<int>(photos.size());
    auto inMirror = filesUnder(mirror), inProblem = filesUnder(problem), inSource = filesUnder(src);
    for (const auto& [rel, bytes] : photos) {
      auto m = inMirror.find(rel), s = inSource.find(rel);
      bool inProb = false;
      for (const auto& [prel, pbytes] : inProblem) {
        // Under its own name, or renamed "IMG_3 (2).jpg" on a clash.
        if (prel == rel || prel.rfind(rel.substr(0, rel.rfind('.')) + " (", 0) == 0) {
          inProb = true;
          if (pbytes != bytes) ++row->damaged;
          break;
        }
      }
      if (m != inMirror.end()) {
        ++row->uploaded;
        if (m->second != bytes) ++row->damaged;
      }
      if (s != inSource.end()) {
        ++row->source;
        if (s->second != bytes) ++row->damaged;
      }
      row->problem += inProb;
      if (m == inMirror.end() && s == inSource.end() && !inProb) ++row->lost;
    }
    std::map<std::string, int> stored;
    int posts = 0;
    std::ifstream log(store + "/.requests.log");
    for (std::string line; std::getline(log, line);) {
      ++posts;
      std::vector<std::string> f;
      std::stringstream ss(line);
      for (std::string x; std::getline(ss, x, '\t');) f.push_back(x);
      if (f.size() >= 4 && f[3] == "stored") ++stored[f[1]];
    }
    if (row->twiceByBytes) {
      std::map<std::string, int> copies;
      for (const auto& [srel, sbytes] : filesUnder(store))
        if (srel.find("fields.plist") == std::string::npos && srel[0] != '.') ++copies[sbytes];
      for (const auto& [sbytes, count] : copies) row->twice += count > 1;
    } else {
      for (const auto& [name, count] : stored) row->twice += count > 1;
    }
    row->postsPerPhoto = photos.empty() ? 0 : static_cast<double>(posts) / photos.size();
    std::string text = readFile(console);
    row->crashed = row->crashed || text.find("AddressSanitizer") != std::string::npos ||
                   text.find("runtime error:") != std::string::npos;
    if (!row->pass()) {  // what the agent said last, for the failure's reader
      auto lastLines = [](const std::string& t, int n) {
        std::size_t at = t.size();
        for (; n > 0 && at > 0; --n) at = at > 1 ? t.rfind('\n', at - 2) + 1 : 0;
        return "\n" + t.substr(at);
      };
      std::fprintf(stderr,
                   "reliability: %s / %s failed; the console ends:%s\nthe message log ends:%s\n",
                   row->section.c_str(), row->name.c_str(), lastLines(text, 8).c_str(),
                   lastLines(readFile(agentMessageLogPath(disk.sub("logs"))), 12).c_str());
    }
  }
};

// A fault for the first `times` POSTs (or one in `every`), then normal answers.
Row siteFault(const std::string& mode, std::vector<std::string> siteArgs, Dict prefs,
              const std::string& label = "") {
  Row row{"Site faults", label.empty() ? mode : label};
  Kiosk k;
  k.addPhotos(gShort ? 5 : 50, gShort ? 2 : 5);
  std::vector<std::string> args{"--fault", mode};
  args.insert(args.end(), siteArgs.begin(), siteArgs.end());
  SiteProcess site(k.store, args);
  // A kiosk that synchronises on its timer too: a stop asked for by the site is not for good.
  prefs[sPrefAutoSynchronize] = true;
  prefs[sPrefSecondsBetweenScans] = 2;
  k.prefs(site.url(), prefs);
  auto t0 = SteadyClock::now();
  {
    AgentProcess agent = k.start();
    waitUntil([&] { return k.drained(); }, gShort ? 60 : 300);
    row.seconds = since(t0);
    k.stopAgents();
  }
  k.account(&row);
  return row;
}

// A photo slower than the upload watchdog among good ones, on a capped uplink: the good ones
// are all uploaded, the slow one is uploaded (its bytes keep moving) or held back, and the
// watchdog relaunches the agent at most twice.
Row slowerThanTheWatchdog() {
  Row row{"Site faults", "photo slower than the watchdog among good ones"};
  Kiosk k;
  k.addPhotos(gShort ? 5 : 20, 1);
  // The photo the walk meets first becomes the slow one: 120 KiB at 20 KiB/s take 6 s, the
  // watchdog 3 s.
  const std::string folder = k.src + "/Event/Booth 0";
  std::string slow = "Event/Booth 0/" + fs::directory_iterator(folder)->path().filename().string();
  std::string& bytes = k.photos[slow];
  std::mt19937 rng(7);
  while (bytes.size() < 120 * 1024) bytes.push_back(static_cast<char>('a' + rng() % 26));
  writeFile(k.src + "/" + slow, bytes);
  SiteProcess site(k.store);
  k.prefs(
      site.url(),
      Dict{{sPrefUploadTimeOut, 3}, {sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
  auto goodOnesUp = [&] {
    for (const auto& [rel, b] : k.photos)
      if (rel != slow && fs::exists(k.src + "/" + rel)) return false;
    return true;
  };
  auto t0 = SteadyClock::now();
  {
    AgentProcess agent = k.start({}, {"SORV_MAX_UPLOAD_RATE=20k"});
    waitUntil([&] { return k.drained(); }, gShort ? 60 : 120);
    row.seconds = since(t0);
    k.stopAgents();
  }
  k.account(&row);
  const std::string console = readFile(k.console);
  int relaunches = 0;
  for (auto at = console.find("Relaunch (flags"); at != std::string::npos;
       at = console.find("Relaunch (flags", at + 1))
    ++relaunches;
  row.mustDrain = false;  // the slow one may be held back
  row.note = std::to_string(relaunches) + " relaunches; the slow photo " +
             (fs::exists(k.src + "/" + slow) ? "held back" : "uploaded");
  if (!goodOnesUp() || relaunches > 2) row.crashed = true;
  return row;
}

Row siteDownAndBack() {
  Row row{"Site faults", gShort ? "site down 5 s, then back" : "site down 60 s, then back"};
  Kiosk k;
  k.addPhotos(gShort ? 5 : 50, 2);
  int port;
  {
    SiteProcess probe(k.disk.sub("probe"));
    port = probe.port();
  }
  k.prefs("http://127.0.0.1:" + std::to_string(port) + "/upload");
  auto t0 = SteadyClock::now();
  AgentProcess agent = k.start();
  std::this_thread::sleep_for(std::chrono::seconds(gShort ? 5 : 60));
  SiteProcess site(k.store, {"--port", std::to_string(port)});
  if (!site.ok()) row.note = "site could not take its port again";
  waitUntil([&] { return k.drained(); }, gShort ? 90 : 400);
  row.seconds = since(t0);
  k.stopAgents();
  k.account(&row);
  return row;
}

// An HTTP proxy that asks for a password it was not given, then lets the uploads through: a
// refusal of the proxy is no photo's fault, so every photo stays until it can go, once.
Row proxyRefusesAndBack() {
  Row row{"Site faults", gShort ? "proxy answers 407 for 5 s, then lets through"
                                : "proxy answers 407 for 60 s, then lets through"};
  row.noProblem = true;
  Kiosk k;
  k.addPhotos(gShort ? 5 : 50, 2);
  fs::create_directories(k.disk.sub("proxy"));
  SiteProcess site(k.store);
  auto proxy = std::make_unique<ProxyProcess>(k.disk.sub("proxy"), "BasicAuth kiosk secret\n");
  const int port = proxy->port();
  k.prefs(site.url(), Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
  auto t0 = SteadyClock::now();
  AgentProcess agent = k.start({}, {"http_proxy=" + proxy->url(), "no_proxy="});
  std::this_thread::sleep_for(std::chrono::seconds(gShort ? 5 : 60));
  proxy.reset();
  ProxyProcess open(k.disk.sub("proxy"), "", port);
  if (!open.listening()) row.note = "the proxy could not take its port again";
  waitUntil([&] { return k.drained(); }, gShort ? 90 : 400);
  row.seconds = since(t0);
  k.stopAgents();
  k.account(&row);
  return row;
}

// Good photos among bad files; nothing outside the tree may be read or sent.
Row badInput() {
  Row row{"Bad input", "bad files among good photos"};
  Kiosk k;
  k.addPhotos(gShort ? 4 : 20, 2);
  std::string bad = k.src + "/Event/Bad";
  fs::create_directories(bad);
  const std::string good = k.photos.begin()->second;
  for (std::size_t cut : {0ul, 10ul, 200ul, good.size() / 2, good.size() - 2})
    writeFile(bad + "/cut_" + std::to_string(cut) + ".jpg", good.substr(0, cut));
  writeFile(bad + "/empty.png", "");
  mkfifo((bad + "/fifo.jpg").c_str(), 0644);
  fs::create_directories(bad + "/folder.jpg");
  fs::create_directory_symlink("..", bad + "/loop");
  std::string outside = k.disk.sub("outside/secret.jpg");
  std::string secret = writePhoto(outside, false, 40, 30, Dict{{"QM_kioskStation", "X"}});
  fs::create_symlink(outside, bad + "/link.jpg");
  // Awkward names are good photos too.
  std::string awkward[] = {"new\nline.jpg", "back\\slash.jpg", "latin\xe9.jpg", "-dash.jpg",
                           std::string(251, 'n') + ".jpg"};
  for (const auto& name : awkward) {
    std::string rel = "Event/Odd/" + name;
    k.photos[rel] = writePhoto(k.src + "/" + rel, false, 40, 30, Dict{{"QM_kioskStation", "K"}});
  }
  std::string deep = "Event";
  for (int i = 0; i < 200; ++i) deep += "/d";
  k.photos[deep + "/deep.jpg"] =
      writePhoto(k.src + "/" + deep + "/deep.jpg", false, 40, 30, Dict{{"QM_kioskStation", "K"}});
  // A photo still being written: half now, the rest a few seconds later.
  std::string growing = "Event/Booth 0/growing.jpg";
  std::string whole =
      writePhoto(k.disk.sub("growing.jpg"), false, 400, 300, Dict{{"QM_kioskStation", "K"}});
  k.photos[growing] = whole;
  std::thread writer([&] {
    std::ofstream out(k.src + "/" + growing, std::ios::binary);
    out.write(whole.data(), static_cast<std::streamsize>(whole.size() / 2));
    out.flush();
    std::this_thread::sleep_for(std::chrono::seconds(gShort ? 3 : 10));
    out.write(whole.data() + whole.size() / 2,
              static_cast<std::streamsize>(whole.size() - whole.size() / 2));
  });
  SiteProcess site(k.store);
  k.prefs(site.url(), Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
  auto t0 = SteadyClock::now();
  AgentProcess agent = k.start();
  writer.join();
  waitUntil([&] { return k.drained(); }, gShort ? 60 : 200);
  row.seconds = since(t0);
  row.crashed = processesRunning(k.agent).empty();  // it must still run
  k.stopAgents();
  k.account(&row);
  for (const auto& [rel, bytes] : filesUnder(k.store))
    if (bytes == secret) row.note = "a file outside the tree was sent";
  if (!fs::exists(bad + "/cut_10.jpg") || !fs::exists(bad + "/fifo.jpg"))
    row.note += " bad files left the source";
  if (!row.note.empty()) row.crashed = true;
  return row;
}

// SIGKILL at random moments while the folder drains from a RAM file system to the disk.
Row crashes(unsigned seed) {
  Row row{"Crashes", "SIGKILL at random moments, RAM to disk"};
  TempDir ram(TempDir::kMemoryElseDisk);
  Kiosk k(ram.path());
  k.addPhotos(40, 4);
  SiteProcess site(k.store);
  k.prefs(site.url());
  std::mt19937 rng(seed);
  int runs = gShort ? 15 : 1000, done = 0;
  for (; done < runs; ++done) {
    if (k.drained()) {  // a fresh folder keeps the kills landing in work
      k.addPhotos(40, 4, "R" + std::to_string(done) + "_");
    }
    AgentProcess agent = k.start();
    double ms = 3 * std::pow(100.0, std::uniform_real_distribution<double>(0, 1)(rng));
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    agent.signal(SIGKILL);
    int status;
    agent.wait(10, &status);
  }
  auto t0 = SteadyClock::now();
  {
    AgentProcess last = k.start();
    waitUntil([&] { return k.drained(); }, 120);
    row.seconds = since(t0);
    k.stopAgents();
  }
  k.account(&row);
  int partials = 0;
  for (const auto& [rel, bytes] : filesUnder(k.mirror))
    partials += rel.substr(rel.rfind('/') + 1).rfind(kPartialMovePrefix, 0) == 0;
  row.note = std::to_string(done) + " killed runs; " + std::to_string(partials) +
             " partial copies left in the mirror";
  return row;
}

// Photos added, renamed and deleted while the folder drains.
Row liveChanges(unsigned seed) {
  Row row{"Live changes", "photos added, renamed, deleted while draining"};
  Kiosk k;
  k.addPhotos(gShort ? 20 : 100, 4);
  SiteProcess site(k.store);
  k.prefs(site.url(), Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
  std::mt19937 rng(seed);
  auto t0 = SteadyClock::now();
  AgentProcess agent = k.start();
  for (int i = 0; i < (gShort ? 20 : 100); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 50));
    int what = static_cast<int>(rng() % 3);
    std::string rel = "Event/Live/L" + std::to_string(i) + ".jpg";
    std::string bytes =
        writePhoto(k.disk.sub("stage/L.jpg"), false, 40, 30, Dict{{"QM_kioskStation", "L"}});
    fs::create_directories(k.src + "/Event/Live");
    fs::rename(k.disk.sub("stage/L.jpg"), k.src + "/" + rel);
    if (what == 1) {  // renamed at once
      std::string to = "Event/Live/R" + std::to_string(i) + ".jpg";
      std::error_code ec;
      fs::rename(k.src + "/" + rel, k.src + "/" + to, ec);
      k.photos[ec ? rel : to] = bytes;
    } else if (what == 2) {  // deleted at once (when still there): not expected anywhere
      std::error_code ec;
      if (!fs::remove(k.src + "/" + rel, ec)) k.photos[rel] = bytes;
    } else {
      k.photos[rel] = bytes;
    }
  }
  waitUntil([&] { return k.drained(); }, gShort ? 60 : 200);
  row.seconds = since(t0);
  k.stopAgents();
  k.account(&row);
  return row;
}

// Many photos in many folders: the drain's pace and the agent's peak memory.
Row load() {
  int photos = gShort ? 300 : 10000, folders = gShort ? 30 : 500;
  Row row{"Load", std::to_string(photos) + " photos in " + std::to_string(folders) + " folders"};
  Kiosk k;
  k.addPhotos(photos, folders);
  SiteProcess site(k.store);
  k.prefs(site.url());
  auto t0 = SteadyClock::now();
  AgentProcess agent = k.start();
  long peakKb = 0;
  waitUntil(
      [&] {
        for (pid_t pid : processesRunning(k.agent)) {
          std::ifstream in("/proc/" + std::to_string(pid) + "/status");
          for (std::string line; std::getline(in, line);)
            if (line.rfind("VmHWM:", 0) == 0) peakKb = std::max(peakKb, std::stol(line.substr(6)));
        }
        return k.drained();
      },
      gShort ? 120 : 1800);
  row.seconds = since(t0);
  k.stopAgents();
  k.account(&row);
  char note[128];
  std::snprintf(note, sizeof note, "%.1f photos/s, peak memory %.1f MB", photos / row.seconds,
                peakKb / 1024.0);
  row.note = note;
  return row;
}

// The edges of the kiosk's world: photos rewritten while they upload, a source folder that
// goes away for a while or is swapped for a link and back, two agents on one folder.
Row edge(const std::string& which) {
  Row row{"Edges", which};
  Kiosk k;
  k.addPhotos(gShort ? 6 : 20, 2);
  const bool inFlight = which.starts_with("photo in flight");
  row.onceEach = inFlight;
  SiteProcess site(k.store, which == "photos replaced while they upload" || inFlight
                                ? std::vector<std::string>{"--fault", "slow", "--slow-seconds", "1"}
                                : std::vector<std::string>{});
  k.prefs(site.url(), Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
  // The photos of the folder that goes away arrive while it is away: only its return can
  // bring them.
  if (which.starts_with("source folder")) fs::rename(k.src + "/Event", k.disk.sub("staged"));
  auto t0 = SteadyClock::now();
  {
    AgentProcess agent = k.start();
    if (which == "photos replaced while they upload") {
      // Every second photo gets new bytes, renamed over it, once its old bytes have arrived.
      row.twiceByBytes = true;
      int replaced = 0, seen = 0;
      std::set<std::string> done;
      waitUntil(
          [&] {
            int stored = k.storedCount();
            for (; seen < stored; ++seen) {
              if (seen % 2) continue;
              std::ifstream log(k.store + "/.requests.log");
              std::string line;
              for (int i = 0; i <= seen && std::getline(log, line);) i += line.ends_with("stored");
              std::string name = line.substr(line.find('\t') + 1);
              name = name.substr(0, name.find('\t'));
              for (auto& [rel, bytes] : k.photos) {
                if (!rel.ends_with("/" + name) || !fs::exists(k.src + "/" + rel) ||
                    !done.insert(rel).second)
                  continue;
                std::string stage = k.disk.sub("stage/" + name);
                bytes =
                    writePhoto(stage, false, 100 + replaced++, 31, Dict{{"QM_kioskStation", "N"}});
                fs::rename(stage, k.src + "/" + rel);
              }
            }
            return k.drained();
          },
          gShort ? 60 : 200);
      row.note = std::to_string(replaced) + " photos replaced";
    } else if (which == "source folder away, then back" ||
               which == "source folder swapped for a link, then back") {
      bool link = which.find("link") != std::string::npos;
      std::this_thread::sleep_for(std::chrono::seconds(2));
      fs::rename(k.src, k.src + ".away");
      fs::rename(k.disk.sub("staged"), k.src + ".away/Event");
      if (link) {
        fs::create_directories(k.disk.sub("other"));
        fs::create_directory_symlink(k.disk.sub("other"), k.src);
      }
      std::this_thread::sleep_for(std::chrono::seconds(gShort ? 5 : 15));
      if (link) fs::remove(k.src);
      fs::rename(k.src + ".away", k.src);
      waitUntil([&] { return k.drained(); }, gShort ? 30 : 90);
    } else if (inFlight) {
      // The site has stored a photo and is still answering when the folder goes away; it
      // comes back later with that photo in it.
      bool link = which.find("link") != std::string::npos;
      waitUntil([&] { return k.storedCount() > 0; }, 30);
      fs::rename(k.src, k.src + ".away");
      if (link) {
        fs::create_directories(k.disk.sub("other"));
        fs::create_directory_symlink(k.disk.sub("other"), k.src);
      }
      std::this_thread::sleep_for(std::chrono::seconds(gShort ? 2 : 15));
      if (link) fs::remove(k.src);
      fs::rename(k.src + ".away", k.src);
      waitUntil([&] { return k.drained(); }, gShort ? 30 : 90);
    } else {  // two agents on one folder, by two paths, with their own bundles and defaults
      Kiosk other;
      fs::remove_all(other.src);
      fs::create_directory_symlink(k.src, other.src);
      other.prefs(site.url(), Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
      AgentProcess second = other.start();
      waitUntil([&] { return k.drained(); }, gShort ? 60 : 200);
      row.crashed = processesRunning(other.agent).empty();
      other.stopAgents();
      // Whichever agent served the folder, its mirror holds the photos: both are counted.
      for (const auto& [rel, bytes] : filesUnder(other.mirror))
        if (!fs::exists(k.mirror + "/" + rel)) writeFile(k.mirror + "/" + rel, bytes);
    }
    row.seconds = since(t0);
    row.crashed = row.crashed || processesRunning(k.agent).empty();
    k.stopAgents();
  }
  k.account(&row);
  return row;
}

// Gives path and everything below it to the user nobody.
void giveToNobody(const std::string& path) {
  if (chown(path.c_str(), 65534, 65534) != 0) return;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
    if (lchown(it->path().c_str(), 65534, 65534) != 0) continue;
}

// The agent as the user nobody, beside files it may not read or write. Its photos either go
// where they belong or stay; none is sent twice, none is lost.
Row permissions(bool readOnlySource) {
  Row row{"Permissions", readOnlySource
                             ? "unprivileged: read-only source folder"
                             : "unprivileged: unreadable photo and folder, read-only mirror"};
  if (geteuid() != 0) {
    row.note = "skipped: switching user needs root";
    return row;
  }
  Kiosk k;
  k.addPhotos(6, 2);
  SiteProcess site(k.store);
  k.prefs(site.url(), Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
  chmod(k.disk.path().c_str(), 0755);
  giveToNobody(k.disk.path());
  std::string locked = k.src + "/Event/Booth 0/locked.jpg";
  std::string lockedBytes = writePhoto(locked, false, 40, 30, Dict{{"QM_kioskStation", "K"}});
  std::string privateDir = k.src + "/Event/Private";
  std::string hidden =
      writePhoto(privateDir + "/inside.jpg", false, 40, 30, Dict{{"QM_kioskStation", "K"}});
  chmod(locked.c_str(), 0600);      // root's own: nobody cannot read it
  chmod(privateDir.c_str(), 0700);  // nor list this folder
  if (readOnlySource) {
    for (auto& entry : fs::recursive_directory_iterator(k.src))
      if (lchown(entry.path().c_str(), 0, 0) != 0) row.note = "could not hand the source to root";
    if (chown(k.src.c_str(), 0, 0) != 0) row.note = "could not hand the source to root";
    row.mustDrain = false;
  } else {
    // root's, mode 0755: nobody cannot write into it
    if (chown(k.mirror.c_str(), 0, 0) != 0) row.note = "could not hand the mirror to root";
  }
  auto t0 = SteadyClock::now();
  {
    AgentProcess agent =
        k.start({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    // A read-only source keeps its photos: wait for their uploads, then a while longer to
    // see that none is sent again.
    waitUntil([&] { return k.drained() || (readOnlySource && k.storedCount() >= 6); },
              gShort ? 25 : 60);
    if (readOnlySource) std::this_thread::sleep_for(std::chrono::seconds(gShort ? 4 : 15));
    row.seconds = since(t0);
    row.crashed = processesRunning(k.agent).empty();
    k.stopAgents();
  }
  k.account(&row);
  if (readFile(locked) != lockedBytes || readFile(privateDir + "/inside.jpg") != hidden)
    row.note = "a file the agent could not read was changed";
  if (!row.note.empty()) row.crashed = true;
  return row;
}

// The mirror folder's file system full for a while: photos wait or go to the problem folder,
// and the drain goes on once there is room again.
Row mirrorFull() {
  Row row{"Disk full", "mirror file system full, then room again"};
  if (geteuid() != 0) {
    row.note = "skipped: mounting a small file system needs root";
    return row;
  }
  Kiosk k;
  for (int i = 0; i < (gShort ? 12 : 40); ++i) {
    std::string rel = "Event/Booth/BIG_" + std::to_string(i) + ".jpg";
    k.photos[rel] = writePhoto(k.src + "/" + rel, false, 900, 700, Dict{{"QM_kioskStation", "K"}});
  }
  if (system(("mount -t tmpfs -o size=512k tmpfs '" + k.mirror + "'").c_str()) != 0) {
    row.note = "skipped: no small file system could be mounted";
    return row;
  }
  SiteProcess site(k.store);
  k.prefs(site.url(), Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
  auto t0 = SteadyClock::now();
  {
    AgentProcess agent = k.start();
    std::this_thread::sleep_for(std::chrono::seconds(gShort ? 6 : 20));
    if (system(("mount -o remount,size=64m '" + k.mirror + "'").c_str()) != 0)
      row.note = "could not make room again; ";
    waitUntil([&] { return k.drained(); }, gShort ? 60 : 200);
    row.seconds = since(t0);
    row.crashed = processesRunning(k.agent).empty();
    k.stopAgents();
  }
  k.account(&row);
  int partials = 0;
  for (const auto& [rel, bytes] : filesUnder(k.mirror))
    partials += rel.substr(rel.rfind('/') + 1).rfind(kPartialMovePrefix, 0) == 0;
  row.note += std::to_string(partials) + " partial copies left in the mirror";
  if (system(("umount -l '" + k.mirror + "'").c_str()) != 0) row.note += "; still mounted";
  return row;
}

// The programs beside the agent fail at once: its session bus ends, its journal stops reading
// and its service manager never reads its notifications. Photos arriving meanwhile are all
// stored once, and SIGTERM still ends the agent within 10 s.
Row neighbourStops() {
  Row row{"Neighbours", "a neighbour stops (bus gone, journal full, notify unread)"};
  row.onceEach = true;
  row.noProblem = true;
  Kiosk k;
  k.addPhotos(gShort ? 4 : 20, 2);
  SiteProcess site(k.store);
  k.prefs(site.url(), Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}});
  TempDir sockets(TempDir::kShortPath, "sorv-nb");
  DatagramSocket journal(sockets.sub("journal")), manager(sockets.sub("notify"));
  PrivateBus bus;
  writeFile(k.console, "");
  struct stat st {};
  if (!journal.bound() || !manager.bound() || !bus.ok() || ::stat(k.console.c_str(), &st) != 0) {
    row.crashed = true;
    row.note = "a neighbour could not be set up";
    return row;
  }
  manager.fill();
  auto t0 = SteadyClock::now();
  AgentProcess agent = k.start(
      {}, {bus.envEntry(), "NOTIFY_SOCKET=" + sockets.sub("notify"), "WATCHDOG_USEC=2000000",
           "SORV_JOURNAL_SOCKET=" + sockets.sub("journal"),
           "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)});
  journal.read(20);
  journal.fill();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  bus.stop();
  k.addPhotos(gShort ? 4 : 20, 2, "LATE_");
  waitUntil([&] { return k.drained(); }, gShort ? 60 : 200);
  row.seconds = since(t0);
  std::string quit = quitBySigterm(agent, k.console, 10);
  if (!quit.empty()) {
    row.crashed = true;
    row.note = "SIGTERM: " + quit;
  }
  k.stopAgents();
  k.account(&row);
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out, only;
  unsigned seed = std::random_device{}();
  int jobs = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--short") == 0) gShort = true;
    if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) out = argv[++i];
    if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) seed = std::stoul(argv[++i]);
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
    if (std::strcmp(argv[i], "--jobs") == 0 && i + 1 < argc)
      jobs = std::max(1, std::atoi(argv[++i]));
  }
  // --only SECTION runs the rows of one section ("Site faults", "Crashes", ...).
  auto want = [&](const char* section) { return only.empty() || only == section; };
  // The rows in the table's order. Each has a kiosk, a site and agents of its own, and mostly
  // waits on them: --jobs N runs N rows at a time. The load row runs alone after them, so its
  // pace and memory are the agent's own.
  std::vector<std::function<Row()>> plan;
  auto add = [&](std::function<Row()> row) { plan.push_back(std::move(row)); };
  const std::string times = gShort ? "3" : "10";
  const Dict none;
  if (want("Site faults")) {
    add([] {
      return siteFault("hang", {"--fault-times", "1", "--hang-seconds", "60"},
                       Dict{{sPrefUploadTimeOut, 3}}, "hang (watchdog relaunch)");
    });
    for (const char* mode :
         {"http500", "error", "fail", "warning", "noemail", "malformed", "onechild", "drop", "slow",
          "plaintext", "twostatus", "paddederror", "oknewline", "utf8"})
      add([=] { return siteFault(mode, {"--fault-times", times, "--slow-seconds", "0.5"}, none); });
    add([=] { return siteFault("drop", {"--fault-every", "3"}, none, "1 POST in 3 dropped"); });
    add([=] { return siteFault("bigbody", {"--fault-times", times}, none, "100 MB reply body"); });
    add([=] {
      return siteFault("endless", {"--fault-times", times}, none, "reply body that never ends");
    });
    add([=] {
      return siteFault("redirect", {"--fault-times", times}, none, "redirect to another host");
    });
    if (!gShort) {  // each waits out the 60 s without progress, or the watchdog
      add([=] {
        return siteFault("silence", {"--fault-times", "1", "--hang-seconds", "300"}, none,
                         "headers, then silence");
      });
      add([] {
        return siteFault("trickle", {"--fault-times", "1"}, Dict{{sPrefUploadTimeOut, 20}},
                         "one byte every 2 s (watchdog relaunch)");
      });
    }
    for (const char* mode : {"http429", "http503"}) {
      add([=] {
        Row busy = siteFault(mode, {"--fault-times", times, "--retry-after", "2"}, none,
                             std::string(mode) + " with Retry-After 2 s");
        busy.noProblem = true;
        return busy;
      });
    }
    add(slowerThanTheWatchdog);
    add(siteDownAndBack);
    add(proxyRefusesAndBack);
  }
  if (want("Bad input")) add(badInput);
  if (want("Edges")) {
    for (const char* which :
         {"photos replaced while they upload", "source folder away, then back",
          "source folder swapped for a link, then back", "two agents on one source folder",
          "photo in flight when its source folder goes away"})
      add([=] { return edge(which); });
    if (!gShort)
      add([] { return edge("photo in flight when its source folder is swapped for a link"); });
  }
  if (want("Live changes")) add([=] { return liveChanges(seed); });
  if (want("Permissions")) {
    add([] { return permissions(false); });
    add([] { return permissions(true); });
  }
  if (want("Disk full")) add(mirrorFull);
  if (want("Neighbours")) add(neighbourStops);
  if (want("Crashes")) add([=] { return crashes(seed); });

  std::vector<Row> rows;
  std::vector<std::optional<Row>> done(plan.size());
  std::atomic<std::size_t> next{0};
  std::mutex printing;
  auto report = [&](const Row& r) {
    std::lock_guard<std::mutex> lock(printing);
    std::fprintf(stderr, "reliability: %s / %s: %s\n", r.section.c_str(), r.name.c_str(),
                 r.pass() ? "pass" : "FAIL");
  };
  auto work = [&] {
    for (std::size_t i; (i = next++) < plan.size();) {
      Row r = plan[i]();
      report(r);
      done[i] = std::move(r);
    }
  };
  std::vector<std::thread> workers;
  for (int j = 0; j < jobs; ++j) workers.emplace_back(work);
  for (auto& w : workers) w.join();
  for (auto& r : done) rows.push_back(std::move(*r));
  if (want("Load")) {
    rows.push_back(load());
    report(rows.back());
  }

  std::ostringstream table;
  table << "Reliability suite (" << (gShort ? "short" : "full") << ", seed " << seed << ")\n\n"
        << "| Section | Case | Photos | Uploaded | Problem | Source | Lost | Damaged | Twice | "
           "POSTs/photo | Seconds | Result | Note |\n"
        << "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
  int failed = 0;
  for (const Row& r : rows) {
    char line[1024];
    std::string name = r.name;
    std::snprintf(line, sizeof line,
                  "| %s | %s | %d | %d | %d | %d | %d | %d | %d | %.2f | %.1f | %s | %s |\n",
                  r.section.c_str(), name.c_str(), r.photos, r.uploaded, r.problem, r.source,
                  r.lost, r.damaged, r.twice, r.postsPerPhoto, r.seconds,
                  r.pass() ? "pass" : "FAIL", r.note.c_str());
    table << line;
    failed += !r.pass();
  }
  std::fputs(table.str().c_str(), stdout);
  if (!out.empty()) std::ofstream(out) << table.str();
  return failed == 0 ? 0 : 1;
}
