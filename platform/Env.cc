#include "platform/Env.h"

#include <atomic>

#include "platform/Clock.h"
#include "platform/FileDates.h"
#include "platform/Journal.h"
#include "platform/Program.h"
#include "platform/ProgressWindow.h"
#include "platform/RunLoop.h"
#include "platform/ServiceManager.h"
#include "platform/fs/FileSystem.h"
#include "platform/http/HttpTransport.h"

namespace sorv {

namespace {

class PosixEnv : public Env {
 public:
  FileSystem& fileSystem() override { return posixFileSystem(); }
  FileDates& fileDates() override { return realFileDates(); }
  Clock& clock() override { return systemClock(); }
  HttpTransport& httpTransport() override { return curlHttpTransport(); }
  RunLoop& runLoop() override {
    // Made on first use: until a thread runs it, the thread that asked first is its loop
    // thread. Never destroyed, as the Env.
    static EventLoop* loop = new EventLoop;
    return *loop;
  }
  ProgramStarter& programs() override { return posixPrograms(); }
  ServiceManager& serviceManager() override { return systemServiceManager(); }
  Journal& journal() override { return systemJournal(); }
  std::unique_ptr<myProgressWindowController> newProgressWindow(const std::string&) override {
    return std::make_unique<ConsoleProgressWindow>();
  }
};

std::atomic<Env*> gInstalled{nullptr};

}  // namespace

Env::~Env() = default;

Env* Env::Default() {
  // Never destroyed: threads may still use it while the process exits.
  static Env* env = new PosixEnv;
  return env;
}

Env& currentEnv() {
  Env* env = gInstalled.load(std::memory_order_acquire);
  return env ? *env : *Env::Default();
}

Env* setDefaultEnv(Env* env) {
  return gInstalled.exchange(env, std::memory_order_acq_rel);
}

FileSystem& defaultFileSystem() {
  return currentEnv().fileSystem();
}

FileDates& defaultFileDates() {
  return currentEnv().fileDates();
}

Clock& defaultClock() {
  return currentEnv().clock();
}

HttpTransport& defaultHttpTransport() {
  return currentEnv().httpTransport();
}

RunLoop& mainRunLoop() {
  return currentEnv().runLoop();
}

ProgramStarter& defaultPrograms() {
  return currentEnv().programs();
}

ServiceManager& defaultServiceManager() {
  return currentEnv().serviceManager();
}

Journal& defaultJournal() {
  return currentEnv().journal();
}

std::unique_ptr<myProgressWindowController> makeProgressWindow(const std::string& resource) {
  return currentEnv().newProgressWindow(resource);
}

}  // namespace sorv
