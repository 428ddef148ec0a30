#include "tests/e2e/PrivateBus.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/TempDir.h"

namespace sorv::test {

PrivateBus::PrivateBus() {
  const std::string& folder = folder_.path();
  ::chmod(folder.c_str(), 0755);
  std::ofstream(folder + "/bus.conf")
      << "<busconfig><type>session</type><listen>unix:dir=" << folder
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
      << "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
         "<allow own=\"*\"/></policy></busconfig>\n";
  std::string command = "dbus-daemon --config-file=" + folder +
                        "/bus.conf --fork --print-address=1 --print-pid=1 2>/dev/null";
  FILE* out = ::popen(command.c_str(), "r");
  if (!out) return;
  char address[512] = "", pid[32] = "";
  if (std::fgets(address, sizeof address, out)) std::fgets(pid, sizeof pid, out);
  ::pclose(out);
  address_ = address;
  if (!address_.empty()) address_.pop_back();  // the line feed
  pid_ = static_cast<pid_t>(std::atol(pid));
  if (pid_ <= 0) address_.clear();
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
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

CommandResult runUntilStatus(const std::function<CommandResult()>& command, int status,
                             double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  CommandResult result = command();
  while (result.status != status && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result = command();
  }
  return result;
}

}  // namespace sorv::test
