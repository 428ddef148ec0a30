// Who may replace the defaults file. Every agent holds a shared flock on "<defaults file>.lock"
// for its whole life; a program that stores settings for agents that are not running (the
// settings import) takes it exclusively, and so fails while any agent runs on that file, on a
// session bus or not. The kernel drops a lock when its process ends, SIGKILL included, so no
// lock outlives its holder.
#pragma once

#include <string>

namespace sorv {

class DefaultsLock {
 public:
  enum class Kind { Agent, Writer };
  enum class Result { Held, Busy, Failed };

  DefaultsLock() = default;
  ~DefaultsLock();  // releases the lock
  DefaultsLock(const DefaultsLock&) = delete;
  DefaultsLock& operator=(const DefaultsLock&) = delete;

  // Takes the lock of the defaults file at defaultsPath without waiting, making its folder and
  // lock file when missing. Held when this object holds it; Busy when another holder excludes
  // it (an agent a Writer, a Writer anyone); Failed with *err when the lock file cannot be
  // made or opened. At most once per object.
  Result take(const std::string& defaultsPath, Kind kind, std::string* err);

  static std::string lockPathFor(const std::string& defaultsPath);

 private:
  int fd_ = -1;
};

// Takes the Agent lock of this process's defaults file for the rest of the process, waiting up
// to `seconds` while a Writer holds it; says on the console when it cannot, and the agent runs
// on without it.
void holdDefaultsForThisAgent(double seconds);

}  // namespace sorv
