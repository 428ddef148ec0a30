// sorvctl status, status --json and health against the real agent on a private bus: while the
// site is down (photos wait, the verdict turns after SORV_HEALTH_MINUTES) and after it is back.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

// A strict reader of the one JSON object sorvctl prints: values by key, texts unescaped
// (\u escapes kept as written), a nested object's members as "outer.inner", null as "null".
class JsonObject {
 public:
  explicit JsonObject(const std::string& text) : s_(text) {
    ok_ = object("") && (skip(), pos_ == s_.size());
  }
  bool ok() const { return ok_; }
  bool has(const std::string& key) const { return values_.count(key) != 0; }
  std::string operator[](const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? "<missing>" : it->second;
  }
  std::vector<std::string> topKeys() const { return top_; }

 private:
  void skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool eat(char c) {
    skip();
    if (pos_ < s_.size() && s_[pos_] == c) return ++pos_, true;
    return false;
  }
  bool string(std::string* out) {
    if (!eat('"')) return false;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      unsigned char c = static_cast<unsigned char>(s_[pos_++]);
      if (c < 0x20) return false;  // control characters must be escaped
      if (c == '\\') {
        if (pos_ >= s_.size()) return false;
        char e = s_[pos_++];
        if (e == 'u') {
          if (pos_ + 4 > s_.size()) return false;
          *out += "\\u" + s_.substr(pos_, 4);
          pos_ += 4;
        } else if (e == '"' || e == '\\' || e == '/') {
          *out += e;
        } else if (std::string("bfnrt").find(e) == std::string::npos) {
          return false;
        }
        continue;
      }
      *out += static_cast<char>(c);
    }
    return eat('"');
  }
  bool value(const std::string& key) {
    skip();
    if (pos_ < s_.size() && s_[pos_] == '{') return object(key + ".");
    if (pos_ < s_.size() && s_[pos_] == '"') return string(&values_[key]);
    std::size_t start = pos_;
    while (pos_ < s_.size() && std::string(",}").find(s_[pos_]) == std::string::npos) ++pos_;
    values_[key] = s_.substr(start, pos_ - start);
    return pos_ > start;
  }
  bool object(const std::string& prefix) {
    if (!eat('{')) return false;
    if (eat('}')) return true;
    do {
      std::string key;
      if (!string(&key) || !eat(':') || !value(prefix + key)) return false;
      if (prefix.empty()) top_.push_back(key);
    } while (eat(','));
    return eat('}');
  }
  std::string s_;
  std::size_t pos_ = 0;
  bool ok_ = false;
  std::map<std::string, std::string> values_;
  std::vector<std::string> top_;
};

TEST(Status, SorvctlWhileTheSiteIsDownAndAfterItRecovers) {
  TempDir dir;
  PrivateBus bus;
  if (!bus.ok()) GTEST_SKIP() << "dbus-daemon is not available";
  auto sorvctl = [&](const std::vector<std::string>& args) {
    return runCommand(SORV_SORVCTL_PATH, args, {bus.envEntry()}, 30);
  };
  // No agent yet.
  EXPECT_EQ(sorvctl({"status"}).status, 3);
  EXPECT_EQ(sorvctl({"health"}).status, 3);

  const std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  std::filesystem::create_directories(mirror);
  const Dict meta{{"QM_kioskStation", "K1"}};
  for (const char* name : {"Fair/IMG_1.jpg", "Fair/IMG_2.jpg", "Fair/IMG_3.jpg"})
    ASSERT_FALSE(writePhoto(src + "/" + name, false, 64, 48, meta).empty());
  auto down = std::make_unique<RefusingPort>();
  const int port = down->port();
  writeKioskDefaults(dir.sub("d.plist"), src, mirror, down->url());
  const std::string agent = installAgentBundle(dir.path());
  AgentProcess run(agent, src, dir.sub("d.plist"), dir.sub("logs"), dir.sub("console.txt"),
                   {bus.envEntry(), "SORV_HEALTH_MINUTES=0.05"});
  ASSERT_TRUE(run.started());

  // Site down: the photos wait, and after 3 s without a success the agent is unhealthy.
  CommandResult json;
  ASSERT_TRUE(waitFor(
      [&] {
        json = sorvctl({"status", "--json"});
        return json.status == 0 && JsonObject(json.out)["waiting"] == "3" &&
               JsonObject(json.out).has("last_failure.reason");
      },
      60))
      << json.out << json.err;
  JsonObject o(json.out);
  ASSERT_TRUE(o.ok()) << json.out;
  EXPECT_EQ(o.topKeys(), (std::vector<std::string>{
                             "state", "current_item", "waiting", "held_back",
                             "oldest_waiting_seconds", "uploaded_today", "uploaded_since_start",
                             "bytes_uploaded", "last_success", "last_failure", "problem_folder"}));
  EXPECT_EQ(o["uploaded_today"], "0");
  EXPECT_EQ(o["last_success"], "null");
  EXPECT_EQ(o["problem_folder"], "0");
  EXPECT_NE(o["last_failure.time"].find('T'), std::string::npos);
  EXPECT_FALSE(o["last_failure.reason"].empty());

  CommandResult health = runUntilStatus([&] { return sorvctl({"health"}); }, 1, 30);
  ASSERT_EQ(health.status, 1) << health.out;
  EXPECT_NE(health.out.find("waited"), std::string::npos) << health.out;

  CommandResult text = sorvctl({"status"});
  ASSERT_EQ(text.status, 0) << text.err;
  auto shown = keyValueLines(text.out);
  std::vector<std::string> keys;
  for (const auto& [key, value] : shown) keys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"Current item", "Held back", "Last failure", "Last success",
                                      "Oldest waiting", "Problem folder", "State",
                                      "Uploaded since start", "Uploaded today", "Waiting"}))
      << text.out;
  EXPECT_EQ(shown["Waiting"], "3");
  EXPECT_EQ(shown["Last success"], "none");

  // The site is back on the same port: everything is uploaded and the agent is healthy.
  down.reset();
  SiteProcess site(dir.sub("store"), {"--port", std::to_string(port)});
  ASSERT_TRUE(site.ok());
  sorvctl({"upload-now"});
  ASSERT_TRUE(waitFor(
      [&] {
        json = sorvctl({"status", "--json"});
        return JsonObject(json.out)["uploaded_today"] == "3";
      },
      120))
      << json.out;
  o = JsonObject(json.out);
  EXPECT_EQ(o["waiting"], "0");
  EXPECT_EQ(o["uploaded_since_start"], "3");
  EXPECT_NE(o["last_success"], "null");
  EXPECT_NE(o["bytes_uploaded"], "0");
  health = sorvctl({"health"});
  EXPECT_EQ(health.status, 0);
  EXPECT_EQ(health.out, "healthy\n");
  shown = keyValueLines(sorvctl({"status"}).out);
  EXPECT_EQ(shown["Uploaded today"], "3");
  EXPECT_EQ(shown["Uploaded since start"], "3");
  EXPECT_EQ(shown["Oldest waiting"], "none");

  // Paused while idle: photos dropped meanwhile are counted and wait until upload-now.
  EXPECT_EQ(sorvctl({"pause"}).out, "ACCEPTED\n");
  for (const char* name : {"Fair/IMG_4.jpg", "Fair/IMG_5.jpg"})
    ASSERT_FALSE(writePhoto(src + "/" + name, false, 64, 48, meta).empty());
  ASSERT_TRUE(waitFor(
      [&] { return (shown = keyValueLines(sorvctl({"status"}).out))["Waiting"] == "2"; }, 30))
      << shown["Waiting"];
  std::this_thread::sleep_for(std::chrono::seconds(2));
  shown = keyValueLines(sorvctl({"status"}).out);
  EXPECT_EQ(shown["State"], "paused");
  EXPECT_EQ(shown["Uploaded today"], "3");
  sorvctl({"upload-now"});
  EXPECT_TRUE(
      waitFor([&] { return keyValueLines(sorvctl({"status"}).out)["Uploaded today"] == "5"; }, 60));

  EXPECT_EQ(sorvctl({"quit"}).status, 0);
  int status = -1;
  EXPECT_TRUE(run.wait(20, &status));
}

}  // namespace
}  // namespace sorv::test
