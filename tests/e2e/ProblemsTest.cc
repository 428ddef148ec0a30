// The problem folder through sorvctl against the real site: a photo refused with HTTP 500 is
// listed with its reason, a name taken in the source is never overwritten, and a requeued
// photo goes back with its movie and is uploaded.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>

#include "platform/Paths.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

TEST(Problems, ListedWithTheirReasonRequeuedAndUploaded) {
  TempDir dir;
  PrivateBus bus;
  if (!bus.ok()) GTEST_SKIP() << "dbus-daemon is not available";
  SiteProcess site(dir.sub("store"), {"--fault", "http500", "--fault-times", "1"});
  ASSERT_TRUE(site.ok());
  const std::string src = dir.sub("Source"), mirror = dir.sub("Mirror"),
                    problem = dir.sub("Problem Folder");
  std::filesystem::create_directories(mirror);
  const std::string photo =
      writePhoto(src + "/Fair/IMG_1.jpg", false, 64, 48, Dict{{"QM_kioskStation", "K1"}});
  writeFile(src + "/Fair/IMG_1.mov", "movie bytes");
  ASSERT_TRUE(writeKioskDefaults(dir.sub("d.plist"), src, mirror, site.url()));
  AgentProcess agent(installAgentBundle(dir.path()), src, dir.sub("d.plist"), dir.sub("logs"),
                     dir.sub("console.txt"), {bus.envEntry()});
  auto sorvctl = [&](const std::vector<std::string>& args) {
    return runCommand(SORV_SORVCTL_PATH, args, {bus.envEntry()}, 60);
  };
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(problem + "/Fair/IMG_1.mov"); }, 60));

  auto listed = sorvctl({"problems"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("Fair/IMG_1.jpg (with Fair/IMG_1.mov)\t"
                            "HTTP Server Returned Status Code: 500"),
            std::string::npos)
      << listed.out;
  EXPECT_NE(readFile(dir.sub("logs/problems.jsonl")).find("\"http_status\":500"),
            std::string::npos);

  // Refused: outside the problem folder, a link, and a name already taken in the source.
  std::filesystem::create_symlink(problem + "/Fair/IMG_1.jpg", problem + "/Fair/link.jpg");
  for (const char* bad : {"/etc/passwd", "../Source/Fair/IMG_1.jpg", "Fair/link.jpg",
                          "Fair/../Fair/IMG_1.jpg", "Fair/none.jpg"}) {
    auto r = sorvctl({"requeue", bad});
    EXPECT_EQ(r.status, 1) << bad << ": " << r.out << r.err;
    EXPECT_NE(r.out.find("NOT REQUEUED"), std::string::npos) << r.out;
  }
  writeFile(src + "/Fair/IMG_1.mov", "a newer movie");
  auto taken = sorvctl({"requeue", "Fair/IMG_1.jpg"});
  EXPECT_EQ(taken.status, 1) << taken.out;
  EXPECT_NE(taken.out.find("already taken in the source folder"), std::string::npos) << taken.out;
  EXPECT_EQ(readFile(src + "/Fair/IMG_1.mov"), "a newer movie");
  EXPECT_EQ(readFile(problem + "/Fair/IMG_1.jpg"), photo);
  EXPECT_EQ(readFile(problem + "/Fair/IMG_1.mov"), "movie bytes");

  std::filesystem::remove(src + "/Fair/IMG_1.mov");
  std::filesystem::remove(problem + "/Fair/link.jpg");
  auto requeued = sorvctl({"requeue", "Fair/IMG_1.jpg"});
  EXPECT_EQ(requeued.status, 0) << requeued.out << requeued.err;
  EXPECT_NE(requeued.out.find("REQUEUED Fair/IMG_1.jpg with IMG_1.mov"), std::string::npos)
      << requeued.out;
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(mirror + "/Fair/IMG_1.jpg"); }, 60));
  EXPECT_EQ(readFile(mirror + "/Fair/IMG_1.jpg"), photo);
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(mirror + "/Fair/IMG_1.mov"); }, 10));
  EXPECT_EQ(sorvctl({"problems"}).out, "");
  EXPECT_EQ(sorvctl({"requeue", "--all"}).status, 1);  // nothing left to requeue
  EXPECT_EQ(sorvctl({"quit"}).status, 0);
  int status = -1;
  EXPECT_TRUE(agent.wait(20, &status));
}

}  // namespace
}  // namespace sorv::test
