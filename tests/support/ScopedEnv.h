// The process's Env with the parts a test fakes replaced, installed from construction to
// destruction. Scopes nest: each puts back the Env it replaced.
#pragma once

#include "platform/Clock.h"
#include "platform/Env.h"
#include "platform/FileDates.h"
#include "platform/Journal.h"
#include "platform/Program.h"
#include "platform/ProgressWindow.h"
#include "platform/RunLoop.h"
#include "platform/ServiceManager.h"
#include "platform/fs/FileSystem.h"
#include "platform/http/HttpTransport.h"

namespace sorv::test {

// What a test replaces; a part left empty comes from the Env in use before.
struct EnvParts {
  FileSystem* fileSystem = nullptr;
  FileDates* fileDates = nullptr;
  Clock* clock = nullptr;
  HttpTransport* httpTransport = nullptr;
  RunLoop* runLoop = nullptr;
  ProgramStarter* programs = nullptr;
  ProgressWindowFactory progressWindows = nullptr;
  ServiceManager* serviceManager = nullptr;
  Journal* journal = nullptr;
};

class ScopedEnv : public EnvWrapper {
 public:
  // The parts are set before the Env is installed, so threads never see it half made.
  explicit ScopedEnv(EnvParts parts)
      : EnvWrapper(&currentEnv()), parts_(std::move(parts)), replaced_(setDefaultEnv(this)) {}
  ~ScopedEnv() override {
    setDefaultEnv(replaced_);
    if (settle) settle();
  }
  // Run once the Env is put back: waits for background work that may still use the parts
  // (a test that runs the agent sets it to wait for the settings store's write under way).
  static inline void (*settle)() = nullptr;

  FileSystem& fileSystem() override {
    return parts_.fileSystem ? *parts_.fileSystem : EnvWrapper::fileSystem();
  }
  FileDates& fileDates() override {
    return parts_.fileDates ? *parts_.fileDates : EnvWrapper::fileDates();
  }
  Clock& clock() override { return parts_.clock ? *parts_.clock : EnvWrapper::clock(); }
  HttpTransport& httpTransport() override {
    return parts_.httpTransport ? *parts_.httpTransport : EnvWrapper::httpTransport();
  }
  RunLoop& runLoop() override { return parts_.runLoop ? *parts_.runLoop : EnvWrapper::runLoop(); }
  ProgramStarter& programs() override {
    return parts_.programs ? *parts_.programs : EnvWrapper::programs();
  }
  ServiceManager& serviceManager() override {
    return parts_.serviceManager ? *parts_.serviceManager : EnvWrapper::serviceManager();
  }
  Journal& journal() override { return parts_.journal ? *parts_.journal : EnvWrapper::journal(); }
  std::unique_ptr<myProgressWindowController> newProgressWindow(
      const std::string& resource) override {
    return parts_.progressWindows ? parts_.progressWindows(resource)
                                  : EnvWrapper::newProgressWindow(resource);
  }

 private:
  const EnvParts parts_;
  Env* const replaced_;
};

}  // namespace sorv::test
