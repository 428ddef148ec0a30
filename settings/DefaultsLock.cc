#include "settings/DefaultsLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Console.h"
#include "platform/Paths.h"

namespace sorv {

DefaultsLock::~DefaultsLock() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the flock
}

std::string DefaultsLock::lockPathFor(const std::string& defaultsPath) {
  return defaultsPath + ".lock";
}

DefaultsLock::Result DefaultsLock::take(const std::string& defaultsPath, Kind kind,
                                        std::string* err) {
  if (fd_ >= 0) return Result::Held;
  const std::string path = lockPathFor(defaultsPath);
  createFolderWithParents(deletingLastPathComponent(path));
  // Not inherited by the programs the agent starts, the relaunch helper among them.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) {
    if (err) *err = "cannot open " + path + ": " + std::strerror(errno);
    return Result::Failed;
  }
  int rc;
  do {
    rc = ::flock(fd, (kind == Kind::Agent ? LOCK_SH : LOCK_EX) | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int e = errno;
    ::close(fd);
    if (e == EWOULDBLOCK) return Result::Busy;
    if (err) *err = "cannot lock " + path + ": " + std::strerror(e);
    return Result::Failed;
  }
  fd_ = fd;
  return Result::Held;
}

void holdDefaultsForThisAgent(double seconds) {
  static DefaultsLock* held = nullptr;  // kept until the process ends
  if (held) return;
  auto lock = new DefaultsLock;
  const std::string path = defaultsFilePath();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::string why;
  DefaultsLock::Result result;
  // An import holds it for the moment it writes.
  while ((result = lock->take(path, DefaultsLock::Kind::Agent, &why)) ==
             DefaultsLock::Result::Busy &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (result == DefaultsLock::Result::Held) {
    held = lock;
    return;
  }
  delete lock;
  if (result == DefaultsLock::Result::Busy) why = "another program is writing the settings";
  NSLog(
      "WARNING: running without the lock of the defaults file (%s); an import will not see "
      "this agent",
      why.c_str());
}

}  // namespace sorv
