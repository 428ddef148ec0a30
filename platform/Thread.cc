#include "platform/Thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <thread>

#include "platform/Console.h"

namespace sorv {

namespace {
thread_local std::string tThreadName;
}

void startThread(const std::string& name, std::function<void()> fn) {
  std::string shortName = name.substr(0, 15);
  std::thread([shortName, fn = std::move(fn)] {
    tThreadName = shortName;
    pthread_setname_np(pthread_self(), shortName.c_str());
    try {
      fn();
    } catch (const std::exception& e) {
      NSLog("thread %s ended by an exception: %s", shortName.c_str(), e.what());
    } catch (...) {
      NSLog("thread %s ended by an unknown exception", shortName.c_str());
    }
  }).detach();
}

std::string currentThreadName() {
  if (!tThreadName.empty()) return tThreadName;
  long tid = syscall(SYS_gettid);
  if (tid == static_cast<long>(getpid())) return "main";
  char buf[32] = {0};
  if (pthread_getname_np(pthread_self(), buf, sizeof buf) == 0 && buf[0] != '\0') {
    // A thread not started by us inherits the process name; its id tells it apart then.
    return std::string(buf) + "-" + std::to_string(tid);
  }
  return std::to_string(tid);
}

}  // namespace sorv
