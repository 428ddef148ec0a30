// Starting programs through the Env: what the relaunch and script paths hand the program
// starter, and what they answer when it cannot start anything.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Bundle.h"
#include "process/Process.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

// Records every start and answers each with the same error (0: started, as pid 4242).
class RecordingPrograms : public ProgramStarter {
 public:
  explicit RecordingPrograms(int error) : error_(error) {}
  struct Start {
    std::string path;
    std::vector<std::string> args, environment;
    bool detached, quietStdout;
  };

  ProgramRun run(const std::string& path, const std::vector<std::string>& args) override {
    record({path, args, {}, false, false});
    ProgramRun r;
    r.started = error_ == 0;
    r.status = r.started ? 0 : -1;
    if (r.started) r.output = "ran\n";
    return r;
  }
  int startDetached(const std::string& path, const std::vector<std::string>& args,
                    const std::vector<std::string>& environment, bool quietStdout,
                    long* pid) override {
    record({path, args, environment, true, quietStdout});
    if (error_ == 0) *pid = 4242;
    return error_;
  }
  std::vector<Start> starts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
  }

 private:
  void record(Start s) {
    std::lock_guard<std::mutex> lock(mutex_);
    starts_.push_back(std::move(s));
  }
  const int error_;
  std::mutex mutex_;
  std::vector<Start> starts_;
};

TEST(ProgramStart, RelaunchAndScriptsGoThroughTheEnvsProgramStarter) {
  TempDir dir;
  const std::string bundle = dir.sub("Sorv-FTPUploader.app");
  ASSERT_TRUE(writeFile(bundle + "/Contents/Resources/relaunch", "#!/bin/sh\n"));
  Bundle::setMainBundlePath(bundle);
  char* argv[] = {const_cast<char*>("sorv-uploader"), const_cast<char*>("--headless"),
                  const_cast<char*>("/srv/kiosk/Source")};
  setLaunchArguments(3, argv);
  const std::string handedArgs =
      "SORV_RELAUNCH_ARGS=" + encodeRelaunchArguments({"--headless", "/srv/kiosk/Source"});

  const struct {
    int error;
    bool helperStarted;
    bool scriptAnswered;
  } cases[] = {{0, true, true}, {ENOENT, false, false}, {EACCES, false, false}};
  for (const auto& c : cases) {
    RecordingPrograms programs(c.error);
    ScopedEnv env({.programs = &programs});
    EXPECT_EQ(startRelaunchHelper(3), c.helperStarted) << c.error;
    EXPECT_EQ(runShellScript2(std::string("/bin/echo")).has_value(), c.scriptAnswered) << c.error;

    auto starts = programs.starts();
    ASSERT_EQ(starts.size(), 2u) << c.error;
    const auto& helper = starts[0];
    EXPECT_TRUE(helper.detached);
    EXPECT_EQ(helper.path, bundle + "/Contents/Resources/relaunch");
    EXPECT_EQ(helper.args, (std::vector<std::string>{bundle, std::to_string(getpid()), "3"}));
    int handed = 0;
    for (const auto& e : helper.environment) {
      if (e.rfind("SORV_RELAUNCH_ARGS=", 0) != 0) continue;
      ++handed;
      EXPECT_EQ(e, handedArgs);
    }
    EXPECT_EQ(handed, 1) << "the arguments are handed over once, in the environment";
    EXPECT_FALSE(starts[1].detached);
    EXPECT_EQ(starts[1].path, "/bin/echo");
  }
}

}  // namespace
}  // namespace sorv::test
