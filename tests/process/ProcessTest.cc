// External programs and bundle scripts, version texts, the relaunch helper's arguments and
// the one-time copy of the older edition's settings.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/AppController.h"
#include "platform/Bundle.h"
#include "platform/Plist.h"
#include "process/Process.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

// A bundle of its own with the given scripts in its resources.
struct ScriptBundle {
  TempDir dir;
  std::string bundle = dir.sub("Sorv-FTPUploader.app");
  ScriptBundle() {
    Bundle::setMainBundlePath(bundle);
    writeFile(bundle + "/Contents/Info.plist",
              plist::toXml(Value(Dict{{"CFBundleShortVersionString", "1.0"},
                                      {"CFBundleName", "Sorv-FTPUploader"}})));
  }
  void script(const std::string& name, const std::string& body) {
    std::string path = bundle + "/Contents/Resources/" + name;
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
  }
};

TEST(Process, BundleScriptsAnswerByWhatTheyPrint) {
  ScriptBundle b;
  b.script("offline.sh", "echo 'ftp: Not Connected.'; exit 0");
  b.script("fails.sh", "exit 1");
  b.script("chatty.sh", "head -c 1048576 /dev/zero | tr '\\000' x; echo done");
  b.script("args.sh", "[ \"$1\" = '/a b' ] && [ $# -eq 1 ]");
  const std::vector<std::string> oneArg{"/a b"};
  struct Case {
    std::optional<std::string> name;
    const std::vector<std::string>* args;
    bool answer;
  } cases[] = {
      {"offline.sh", nullptr, false},  // "not connected" in any case
      {"fails.sh", nullptr, true},     // the exit status does not count
      {"chatty.sh", nullptr, true},    // 1 MB of output never fills the pipe
      {"args.sh", &oneArg, true},      {"missing.sh", nullptr, false},
      {"../fails.sh", nullptr, false}, {std::nullopt, nullptr, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(runShellScript(c.name, c.args), c.answer) << c.name.value_or("(none)");
}

TEST(Process, ProgramsAnswerTheirOutput) {
  std::vector<std::string> version{"10.6.8"};
  EXPECT_EQ(runShellScript2(std::string("/bin/echo"), &version), "10.6.8\n");
  EXPECT_EQ(runShellScript2(std::string("/bin/false")), "");
  EXPECT_EQ(runShellScript2(std::string("/nonexistent/program")), std::nullopt);
  EXPECT_EQ(runShellScript2(std::nullopt), std::nullopt);
  std::vector<std::string> big{"-c", "head -c 3000000 /dev/zero | tr '\\000' y"};
  auto out = runShellScript2(std::string("/bin/sh"), &big);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), 3000000u);
  std::vector<std::string> notUtf8{"-c", "printf '\\377\\376'"};
  EXPECT_EQ(runShellScript2(std::string("/bin/sh"), &notUtf8), std::nullopt);
}

struct Label : VersionField {
  int tag_;
  std::string text;
  explicit Label(int tag) : tag_(tag) {}
  int tag() const override { return tag_; }
  void setStringValue(const std::string& t) override { text = t; }
};

TEST(Process, VersionLabelsAndRelaunchArguments) {
  ScriptBundle b;
  Label app(888), other(99);
  EXPECT_EQ(fillInVersionString(&app), 1);
  EXPECT_EQ(fillInVersionString(&other), 1);
  EXPECT_EQ(fillInVersionString(nullptr), 0);
  EXPECT_EQ(app.text, "App Vers: 1.0");
  EXPECT_EQ(other.text, "Version: 1.0");

  // The helper gets the bundle path, this process's id and the flags, and the arguments to
  // start the agent with.
  std::string record = b.dir.sub("helper-args.txt");
  b.script("relaunch", "printf '%s|' \"$@\" \"$SORV_RELAUNCH_ARGS\" > '" + record + ".tmp'; mv '" +
                           record + ".tmp' '" + record + "'");
  char arg0[] = "agent", arg1[] = "--headless", arg2[] = "/kiosk/50% off\nfolder";
  char* argv[] = {arg0, arg1, arg2};
  setLaunchArguments(3, argv);
  ASSERT_TRUE(startRelaunchHelper(0x100300));
  for (int i = 0; i < 200 && access(record.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string handed = encodeRelaunchArguments(launchArguments());
  EXPECT_EQ(readFile(record),
            b.bundle + "|" + std::to_string(getpid()) + "|1049344|" + handed + "|");
  EXPECT_EQ(decodeRelaunchArguments(handed),
            (std::vector<std::string>{"--headless", "/kiosk/50% off\nfolder"}));
}

TEST(Process, ForcedRestartKillsThisProcessAndStartsTheBundleAgain) {
  ScriptBundle b;
  std::string record = b.dir.sub("started.txt");
  std::string exe = b.bundle + "/Contents/MacOS/Sorv-FTPUploader";
  writeFile(exe, "#!/bin/sh\nprintf '%s|' \"$@\" > '" + record + ".tmp'; mv '" + record +
                     ".tmp' '" + record + "'\n");
  chmod(exe.c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    char arg0[] = "agent", arg1[] = "--headless", arg2[] = "/kiosk/Source Folder";
    char* argv[] = {arg0, arg1, arg2};
    setLaunchArguments(3, argv);
    forceToRestart();
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  for (int i = 0; i < 300 && access(record.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(readFile(record), "--headless|/kiosk/Source Folder|");

  // The running applications of a name: this process first.
  auto pids = runningApplicationPids("PROCESS_TESTS");
  ASSERT_FALSE(pids.empty());
  EXPECT_EQ(pids.front(), getpid());
}

TEST(Process, OldEditionSettingsAreCopiedOnce) {
  TempDir dir;
  setenv("XDG_CONFIG_HOME", dir.sub("config").c_str(), 1);
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  auto& store = DefaultsStore::standard();
  store.registerDefaults(Dict{{sPrefDoCopyOldFtpPref, false}, {sPrefVyrURL, "http://new/"}});
  // The older edition kept a binary property list; only listed keys are taken.
  std::string old = dir.sub("config/Sorv/com.quenmor.Sorv-FTPUploader.plist");
  std::string xml = plist::toXml(
      Value(Dict{{sUserLoginName, "oldkiosk"}, {sPrefVyrURL, "http://old.example/upload"}}));
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  char* bin = nullptr;
  uint32_t binSize = 0;
  plist_to_bin(root, &bin, &binSize);
  ASSERT_TRUE(writeFile(old, std::string(bin, binSize)));
  free(bin);
  plist_free(root);

  testing::internal::CaptureStderr();
  AppController::migrateOldFtpPrefs();
  AppController::migrateOldFtpPrefs();
  std::string console = testing::internal::GetCapturedStderr();
  EXPECT_NE(console.find("Need to Copy OLD Ftp Prefs from: [" + old + "]"), std::string::npos);
  EXPECT_NE(console.find("ALREADY Copied OLD Ftp Prefs..."), std::string::npos);
  EXPECT_EQ(store.objectForKey(sUserLoginName), Value("oldkiosk"));
  EXPECT_EQ(store.objectForKey(sPrefVyrURL), Value("http://new/"));  // not a listed key
  EXPECT_TRUE(store.boolForKey(sPrefDoCopyOldFtpPref));

  // A store without the flag at all copies nothing and says so.
  DefaultsStore::resetStandardForPath(dir.sub("other.plist"));
  testing::internal::CaptureStderr();
  AppController::migrateOldFtpPrefs();
  console = testing::internal::GetCapturedStderr();
  EXPECT_NE(console.find("This version does NOT have pref = [prefDoCopyOldFtpPref]"),
            std::string::npos);
  EXPECT_EQ(DefaultsStore::standard().objectForKey(sUserLoginName), std::nullopt);
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace sorv
