// A session bus of a test's own: a dbus-daemon started for the test and killed after it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace sorv::test {

class PrivateBus {
 public:
  // Every local user may connect (the daemon's socket lies in a folder open to all).
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // False when dbus-daemon is missing or did not start; the test then skips.
  bool ok() const { return !address_.empty(); }
  const std::string& address() const { return address_; }
  std::string envEntry() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }
  // Ends the daemon and waits for its end; start() runs a new one at the same address.
  void stop();
  bool start();

 private:
  TempDir folder_{TempDir::kShortPath, "sorv-bus"};  // the daemon's socket and configuration
  std::string address_;
  pid_t pid_ = -1;
};

struct CommandResult {
  int status = -1;  // exit status, -1 when it did not end normally in time
  std::string out, err;
};

// Runs program with args (no quote characters in them) under the env additions, as user uid
// when uid >= 0 (needs root), killed after seconds. Not from several threads at once.
CommandResult runCommand(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, double seconds = 30, int uid = -1);

}  // namespace sorv::test
