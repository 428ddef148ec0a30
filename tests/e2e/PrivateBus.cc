#include "tests/e2e/PrivateBus.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace sorv::test {

PrivateBus::PrivateBus(bool anyUser) {
  char tmpl[] = "/tmp/sorv-bus.XXXXXX";
  if (!mkdtemp(tmpl)) return;
  folder_ = tmpl;
  ::chmod(folder_.c_str(), 0755);
  std::string config = folder_ + "/bus.conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                           "Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type><listen>unix:dir="
                        << folder_ << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                        << (anyUser ? "<allow user=\"*\"/>" : "")
                        << "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
  std::string command =
      "dbus-daemon --config-file=" + config + " --fork --print-address=1 --print-pid=1 2>/dev/null";
  FILE* out = ::popen(command.c_str(), "r");
  if (!out) return;
  char line[512];
  std::string address, pid;
  if (std::fgets(line, sizeof line, out)) address = line;
  if (std::fgets(line, sizeof line, out)) pid = line;
  ::pclose(out);
  while (!address.empty() && address.back() == '\n') address.pop_back();
  pid_ = static_cast<pid_t>(std::atol(pid.c_str()));
  if (pid_ > 0 && !address.empty()) address_ = address;
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  std::error_code ec;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

CommandResult runCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, double seconds, int uid) {
  CommandResult result;
  char outName[] = "/tmp/sorv-cmd-out.XXXXXX", errName[] = "/tmp/sorv-cmd-err.XXXXXX";
  int out = ::mkstemp(outName), err = ::mkstemp(errName);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.push_back(*e);
  envStrings.insert(envStrings.begin(), env.begin(), env.end());  // first entry wins
  std::vector<char*> envp, argv{const_cast<char*>(program.c_str())};
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (uid >= 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (pid > 0 && status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  auto slurp = [](const char* name) {
    std::ifstream in(name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  result.out = slurp(outName);
  result.err = slurp(errName);
  ::close(out);
  ::close(err);
  ::unlink(outName);
  ::unlink(errName);
  return result;
}

}  // namespace sorv::test
