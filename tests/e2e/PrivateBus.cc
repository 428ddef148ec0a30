#include "tests/e2e/PrivateBus.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/support/TempDir.h"

namespace sorv::test {

PrivateBus::PrivateBus() {
  const std::string& folder = folder_.path();
  ::chmod(folder.c_str(), 0755);
  std::ofstream(folder + "/bus.conf")
      << "<busconfig><type>session</type><listen>unix:path=" << folder
      << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
      << "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
         "<allow own=\"*\"/></policy></busconfig>\n";
  start();
}

bool PrivateBus::start() {
  std::string command = "dbus-daemon --config-file=" + folder_.path() +
                        "/bus.conf --fork --print-address=1 --print-pid=1 2>/dev/null";
  FILE* out = ::popen(command.c_str(), "r");
  if (!out) return false;
  char address[512] = "", pid[32] = "";
  if (std::fgets(address, sizeof address, out)) std::fgets(pid, sizeof pid, out);
  ::pclose(out);
  pid_ = static_cast<pid_t>(std::atol(pid));
  // Without the daemon's guid, so that clients take a later daemon at the same path too.
  address_ = address[0] && pid_ > 0 ? "unix:path=" + folder_.path() + "/bus" : "";
  return ok();
}

void PrivateBus::stop() {
  if (pid_ <= 0 || ::kill(pid_, SIGTERM) != 0) return;
  // Not our child: gone once /proc has no live process of that id.
  for (int i = 0; i < 100; ++i) {
    std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
    if (stat.empty() || stat.find(") Z") != std::string::npos) break;
    ::usleep(50000);
  }
  pid_ = -1;
}

PrivateBus::~PrivateBus() {
  stop();
}

CommandResult runCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, double seconds, int uid) {
  auto quoted = [](const std::string& s) { return "'" + s + "'"; };  // no quotes in our args
  std::string errFile = "/tmp/sorv-cmd-err." + std::to_string(::getpid());
  std::string command = "env";
  for (const auto& e : env) command += " " + quoted(e);
  command += " timeout -s KILL " + std::to_string(seconds) + " ";
  if (uid >= 0)
    command += "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
               " --clear-groups ";
  command += quoted(program);
  for (const auto& a : args) command += " " + quoted(a);
  FILE* out = ::popen((command + " 2>" + errFile).c_str(), "r");
  CommandResult result;
  if (!out) return result;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
    result.out.append(buffer, n);
  int status = ::pclose(out);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.err = readFile(errFile);
  std::remove(errFile.c_str());
  return result;
}

}  // namespace sorv::test
