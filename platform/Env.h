// Everything the agent takes from the operating system, behind one interface: the file
// system, file dates, the clock, the HTTP transport, the main run loop, starting programs and
// the maintenance progress windows. Production code asks currentEnv() (or the shorthands
// defaultFileSystem(), defaultClock(), ... beside each interface); a test installs an Env of
// its own, usually an EnvWrapper that replaces only the parts it fakes.
#pragma once

#include <memory>
#include <string>

#include "platform/ProgressWindow.h"

namespace sorv {

class Clock;
class FileDates;
class FileSystem;
class HttpTransport;
class Journal;
class ProgramStarter;
class RunLoop;
class ServiceManager;

class Env {
 public:
  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env();

  // The real platform: the POSIX file system, statx dates, the system clock, the libcurl
  // transport, a process-wide EventLoop (run by whoever runs the main loop), posix_spawn,
  // console progress windows, and systemd's notification socket and journal. Never
  // destroyed; safe from any thread.
  static Env* Default();

  // Every part is owned by the Env (or outlives it) and is safe from several threads as its
  // own interface says.
  virtual FileSystem& fileSystem() = 0;
  virtual FileDates& fileDates() = 0;
  virtual Clock& clock() = 0;
  virtual HttpTransport& httpTransport() = 0;
  virtual RunLoop& runLoop() = 0;
  virtual ProgramStarter& programs() = 0;
  virtual ServiceManager& serviceManager() = 0;
  virtual Journal& journal() = 0;
  // A new window from the window resource `resource` ("maintenanceWindow"), or nullptr when
  // it cannot be made (the caller then logs and works without one). The caller owns it.
  virtual std::unique_ptr<myProgressWindowController> newProgressWindow(
      const std::string& resource) = 0;
};

// Forwards every call to another Env; a subclass overrides what it replaces. The target
// must outlive the wrapper.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  FileSystem& fileSystem() override { return target_->fileSystem(); }
  FileDates& fileDates() override { return target_->fileDates(); }
  Clock& clock() override { return target_->clock(); }
  HttpTransport& httpTransport() override { return target_->httpTransport(); }
  RunLoop& runLoop() override { return target_->runLoop(); }
  ProgramStarter& programs() override { return target_->programs(); }
  ServiceManager& serviceManager() override { return target_->serviceManager(); }
  Journal& journal() override { return target_->journal(); }
  std::unique_ptr<myProgressWindowController> newProgressWindow(
      const std::string& resource) override {
    return target_->newProgressWindow(resource);
  }

 private:
  Env* const target_;
};

// Env::Default() with an entry point's own main run loop and, when a factory is given, its own
// progress windows. The loop outlives this Env.
class MainLoopEnv : public EnvWrapper {
 public:
  explicit MainLoopEnv(RunLoop* loop, ProgressWindowFactory windows = nullptr)
      : EnvWrapper(Env::Default()), loop_(loop), windows_(std::move(windows)) {}
  RunLoop& runLoop() override { return *loop_; }
  std::unique_ptr<myProgressWindowController> newProgressWindow(
      const std::string& resource) override {
    return windows_ ? windows_(resource) : EnvWrapper::newProgressWindow(resource);
  }

 private:
  RunLoop* const loop_;
  const ProgressWindowFactory windows_;
};

// The Env the process uses: the one last installed, else Env::Default(). Safe from any thread.
Env& currentEnv();
// Installs env for the whole process (nullptr: Env::Default()) and returns the one it
// replaces (nullptr when none was installed), so that a scope can put it back. The caller
// keeps env alive while it is installed; install it before the threads that use it start.
Env* setDefaultEnv(Env* env);

}  // namespace sorv
