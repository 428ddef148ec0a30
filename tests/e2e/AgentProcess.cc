#include "tests/e2e/AgentProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/Plist.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/Preferences.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace sorv::test {
namespace fs = std::filesystem;

namespace {

constexpr const char* kBundleName = "Sorv-FTPUploader.app";

// The built bundle: three levels above its executable (Contents/MacOS/<exe>).
fs::path builtBundle() {
  return fs::path(SORV_AGENT_PATH).parent_path().parent_path().parent_path();
}

}  // namespace

std::string installAgentBundle(const std::string& folder) {
  // cp copies in a process of its own: a file this process held open for writing would be
  // inherited by every child another thread forks meanwhile, and an executable open for
  // writing anywhere cannot be run (ETXTBSY).
  fs::path target = fs::path(folder) / kBundleName;
  std::string from = builtBundle().string(), to = target.string();
  char* argv[] = {const_cast<char*>("cp"), const_cast<char*>("-R"), from.data(), to.data(),
                  nullptr};
  pid_t pid = -1;
  int status = -1;
  if (::posix_spawnp(&pid, "cp", nullptr, nullptr, argv, environ) != 0 ||
      ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "";
  return (target / "Contents/MacOS" / fs::path(SORV_AGENT_PATH).filename()).string();
}

std::string agentMessageLogPath(const std::string& logDir) {
  return logDir + "/Sorv-FTPUploaderLog.txt";
}

AgentProcess::AgentProcess(const std::string& executable, const std::string& folder,
                           const std::string& defaultsPath, const std::string& logDir,
                           const std::string& consolePath, const std::vector<std::string>& extraEnv,
                           const std::vector<std::string>& runAs) {
  // Everything the child needs is made before fork: only exec-safe calls after it.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "SORV_DEFAULTS=", 14) != 0 && std::strncmp(*e, "SORV_LOG_DIR=", 13) != 0 &&
        std::strncmp(*e, "DBUS_SESSION_BUS_ADDRESS=", 25) != 0)
      env.push_back(*e);
  }
  env.push_back("SORV_DEFAULTS=" + defaultsPath);
  env.push_back("SORV_LOG_DIR=" + logDir);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  // No session bus unless the test gives one: agents of other tests must not meet there.
  bool busGiven = false;
  for (const auto& e : extraEnv) busGiven = busGiven || e.starts_with("DBUS_SESSION_BUS_ADDRESS=");
  if (!busGiven) env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/sorv-no-bus");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = runAs;
  args.insert(args.end(), {executable, "--headless"});
  if (!folder.empty()) args.push_back(folder);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out = ::open(consolePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out, 1);
    ::dup2(out, 2);
    // ETXTBSY: a child that another thread forked while it copied a bundle holds the copy open
    // for writing until that child's own exec; it closes on its exec, so try again a while.
    for (int i = 0; i < 300; ++i) {
      ::execve(argv[0], argv.data(), envp.data());
      if (errno != ETXTBSY) break;
      const timespec pause{0, 10'000'000};
      ::nanosleep(&pause, nullptr);
    }
    ::_exit(127);
  }
  ::close(out);
}

AgentProcess::~AgentProcess() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

void AgentProcess::signal(int sig) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

bool AgentProcess::wait(double seconds, int* status) {
  if (pid_ <= 0) return false;
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    pid_t got = ::waitpid(pid_, status, WNOHANG);
    if (got == pid_) {
      reaped_ = true;
      return true;
    }
    if (got < 0 || std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

KioskFolders::KioskFolders() {
  fs::create_directories(mirror);
}

bool KioskFolders::addPhotos(std::initializer_list<const char*> names) const {
  for (const char* name : names)
    if (writePhoto(src + "/Fair/" + name, false, 32, 24, Dict{{"QM_kioskStation", "K1"}}).empty())
      return false;
  return true;
}

std::unique_ptr<AgentProcess> KioskFolders::start(const std::string& url, const Dict& more,
                                                  const std::vector<std::string>& env) const {
  if (agent.empty() || !writeKioskDefaults(defaults, src, mirror, url, more)) return nullptr;
  return std::make_unique<AgentProcess>(agent, src, defaults, logs, console, env);
}

std::map<std::string, std::string> keyValueLines(const std::string& text) {
  std::map<std::string, std::string> m;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto colon = line.find(": ");
    if (colon != std::string::npos) m[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return m;
}

std::vector<pid_t> processesRunning(const std::string& executable) {
  std::vector<pid_t> pids;
  std::error_code ec;
  fs::path wanted = fs::weakly_canonical(executable, ec);
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = static_cast<pid_t>(std::stol(name));
    std::error_code linkEc;
    fs::path exe = fs::read_symlink(it->path() / "exe", linkEc);
    if (linkEc || pid == ::getpid() || exe != wanted) continue;
    // A process that has ended but is not reaped yet no longer runs.
    std::string stat = readFile(it->path().string() + "/stat");
    auto paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z') continue;
    pids.push_back(pid);
  }
  return pids;
}

bool writeDefaults(const std::string& path, const Dict& prefs) {
  return plist::writeFileAtomically(path, Value(prefs));
}

bool writeKioskDefaults(const std::string& path, const std::string& src, const std::string& mirror,
                        const std::string& url, const Dict& more) {
  Dict prefs{{sPrefLocalSourceUploadFolder, src},
             {sPrefLocalMasterMirrorSiteFolder, mirror},
             {sUserLoginName, "kiosk"},
             {sUserLoginPassword, "secret"},
             {sPrefUserEnteredEventName, "Fair 2026"},
             {sPrefVyrURL, url}};
  for (const auto& [key, value] : more) prefs[key] = value;
  return writeDefaults(path, prefs);
}

std::string quitBySigterm(AgentProcess& run, const std::string& consolePath, double seconds) {
  run.signal(SIGTERM);
  int status = -1;
  if (!run.wait(seconds, &status)) return "the agent did not end after SIGTERM";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "the agent ended with wait status " + std::to_string(status);
  if (readFile(consolePath).find("Sanitizer") != std::string::npos)
    return "a sanitizer report: " + readFile(consolePath);
  return "";
}

bool waitFor(const std::function<bool()>& done, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

bool waitForText(const std::string& file, const std::string& text, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (readFile(file).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::map<std::string, std::string> filesUnder(const std::string& root) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    files[fs::relative(it->path(), root, ec).string()] = readFile(it->path().string());
  }
  return files;
}

}  // namespace sorv::test

namespace sorv::test {

std::string writePhoto(const std::string& path, bool png, int width, int height, const Dict& meta,
                       const std::string& exifDate) {
  std::string bytes;
  if (png) {
    photos::PngOptions options;
    options.width = width;
    options.height = height;
    options.trailer = plist::toXml(Value(meta));
    bytes = photos::encodePng(options);
  } else {
    photos::JpegOptions options;
    options.width = width;
    options.height = height;
    photos::ExifOptions exif;
    exif.dateTimeOriginal = exifDate;
    exif.userComment = plist::toXml(Value(meta));
    options.exif = exif;
    bytes = photos::encodeJpeg(options);
  }
  return !bytes.empty() && writeFile(path, bytes) ? bytes : "";
}

}  // namespace sorv::test
