#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/Plist.h"
#include "settings/DefaultsStore.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

class DefaultsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SORV_DEFAULTS", dir.sub("env-defaults.plist").c_str(), 1);
    setenv("SORV_LOG_DIR", dir.sub("logs").c_str(), 1);
  }
  std::string path() const { return dir.sub("prefs/defaults.plist"); }
  std::vector<std::string> corruptFiles() const {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dir.sub("prefs")))
      if (e.path().filename().string().find("defaults.plist.corrupt-") == 0)
        out.push_back(e.path().string());
    return out;
  }
  TempDir dir;
};

TEST_F(DefaultsStoreTest, ReadConversions) {
  struct Case {
    const char* name;
    std::optional<Value> stored;
    std::optional<std::string> asString;
    bool asBool;
    long long asInteger;
    double asFloat;
  };
  const Case cases[] = {
      {"absent", std::nullopt, std::nullopt, false, 0, 0.0},
      {"plain text", Value("abc"), "abc", false, 0, 0.0},
      {"Yes", Value("Yes"), "Yes", true, 0, 0.0},
      {"YES", Value("YES"), "YES", true, 0, 0.0},
      {"no", Value("no"), "no", false, 0, 0.0},
      {"No", Value("No"), "No", false, 0, 0.0},
      {"numeric text", Value("42"), "42", true, 42, 42.0},
      {"zero text", Value("0"), "0", false, 0, 0.0},
      {"fraction text", Value("3.7"), "3.7", true, 3, 3.7},
      {"integer", Value(7), "7", true, 7, 7.0},
      {"integer zero", Value(0), "0", false, 0, 0.0},
      {"negative real", Value(-2.9), "-2.9", true, -2, -2.9},
      {"real", Value(0.5), "0.5", true, 0, 0.5},
      {"huge real saturates", Value(1e300), std::nullopt, true, INT64_MAX, 1e300},
      {"true", Value(true), "1", true, 1, 1.0},
      {"false", Value(false), "0", false, 0, 0.0},
      {"date", Value(Date{1000}), std::nullopt, false, 0, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The same conversions apply to a user value and to a registered default.
    for (bool registered : {false, true}) {
      DefaultsStore s("");
      if (c.stored && registered) s.registerDefaults(Dict{{"k", *c.stored}});
      if (c.stored && !registered) s.setObject(*c.stored, "k");
      if (std::string(c.name) != "huge real saturates") {
        EXPECT_EQ(s.stringForKey("k"), c.asString);
      }
      EXPECT_EQ(s.boolForKey("k"), c.asBool);
      EXPECT_EQ(s.integerForKey("k"), c.asInteger);
      EXPECT_DOUBLE_EQ(s.floatForKey("k"), c.asFloat);
      EXPECT_EQ(s.objectForKey("k"), c.stored);
    }
  }
}

TEST_F(DefaultsStoreTest, UserDomainOverRegistrationDomain) {
  DefaultsStore s("");
  s.registerDefaults(Dict{{"a", Value(1)}, {"b", Value("factory")}});
  s.setInteger(2, "a");
  EXPECT_EQ(s.integerForKey("a"), 2);
  EXPECT_EQ(s.stringForKey("b"), "factory");
  s.removeObject("a");
  EXPECT_EQ(s.integerForKey("a"), 1);
  // Registering again replaces the whole registration domain.
  s.registerDefaults(Dict{{"c", Value(true)}});
  EXPECT_FALSE(s.objectForKey("b"));
  EXPECT_TRUE(s.boolForKey("c"));
  // The registration domain is never part of the user domain.
  EXPECT_TRUE(s.userDomain().empty());
}

TEST_F(DefaultsStoreTest, PersistsAndReloads) {
  {
    DefaultsStore s(path());
    s.registerDefaults(Dict{{"factory", Value("f")}});
    s.setObject(Value("/Volumes/Work/Mirror"), "text");
    s.setBool(true, "flag");
    s.setInteger(65537, "number");
    s.setObject(Value(0.25), "real");
    EXPECT_TRUE(s.synchronize());
    auto onDisk = plist::parseFile(path());
    ASSERT_TRUE(onDisk && onDisk->asDict());
    EXPECT_EQ(onDisk->asDict()->size(), 4u);
    EXPECT_NE(readFile(path()).find("<plist"), std::string::npos);
    // Written after the last synchronize: the destructor must still flush it.
    s.setObject(Value("late"), "late");
  }
  DefaultsStore again(path());
  EXPECT_EQ(again.stringForKey("text"), "/Volumes/Work/Mirror");
  EXPECT_TRUE(again.boolForKey("flag"));
  EXPECT_EQ(again.integerForKey("number"), 65537);
  EXPECT_DOUBLE_EQ(again.floatForKey("real"), 0.25);
  EXPECT_EQ(again.stringForKey("late"), "late");
  EXPECT_FALSE(again.objectForKey("factory"));

  // A write without synchronize reaches the disk soon, while the store is still alive.
  again.setObject(Value("soon"), "background");
  bool flushed = false;
  for (int i = 0; i < 200 && !flushed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto v = plist::parseFile(path());
    flushed = v && v->asDict() && dictGetString(*v->asDict(), "background");
  }
  EXPECT_TRUE(flushed);
}

// Another program rewrote the file after the store read it: a write puts back only the keys
// this store set or removed, over what the file holds by then.
TEST_F(DefaultsStoreTest, WritesOnlyItsOwnKeysOverWhatTheFileHoldsNow) {
  const Dict first{{"login", Value("kiosk")}, {"mine", Value(1)}, {"gone", Value(2)}};
  std::filesystem::create_directories(dir.sub("prefs"));
  ASSERT_TRUE(plist::writeFileAtomically(path(), Value(first)));
  DefaultsStore s(path());
  ASSERT_TRUE(s.synchronize());  // nothing changed here: the file stays as it is
  Dict other = first;
  other["login"] = Value("booth2");  // an import
  other["theirs"] = Value("new");
  ASSERT_TRUE(plist::writeFileAtomically(path(), Value(other)));
  EXPECT_TRUE(s.synchronize());
  s.setInteger(5, "mine");
  s.removeObject("gone");
  EXPECT_TRUE(s.synchronize());
  auto onDisk = plist::parseFile(path());
  ASSERT_TRUE(onDisk && onDisk->asDict());
  EXPECT_EQ(*onDisk->asDict(),
            (Dict{{"login", Value("booth2")}, {"mine", Value(5)}, {"theirs", Value("new")}}));
  EXPECT_EQ(s.stringForKey("login"), "kiosk");  // what it read stays until it reads again
}

TEST_F(DefaultsStoreTest, UnreadableFileIsMovedAsideAndStoreStartsEmpty) {
  const std::string bad[] = {
      "this is not a property list",
      "",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>",
      std::string("bplist00\xff\xfe\x00\x01", 12),
  };
  for (const std::string& bytes : bad) {
    SCOPED_TRACE(bytes);
    std::filesystem::remove_all(dir.sub("prefs"));
    ASSERT_TRUE(writeFile(path(), bytes));
    {
      DefaultsStore s(path());
      EXPECT_TRUE(s.userDomain().empty());
      auto aside = corruptFiles();
      ASSERT_EQ(aside.size(), 1u);
      EXPECT_EQ(readFile(aside[0]), bytes);
      EXPECT_FALSE(std::filesystem::exists(path()));
      s.setObject(Value("fresh"), "k");
      EXPECT_TRUE(s.synchronize());
    }
    DefaultsStore reloaded(path());
    EXPECT_EQ(reloaded.stringForKey("k"), "fresh");
    EXPECT_EQ(readFile(corruptFiles()[0]), bytes);
  }
}

TEST_F(DefaultsStoreTest, SecondQuarantineNeverOverwritesTheFirst) {
  ASSERT_TRUE(writeFile(path(), "first broken file"));
  { DefaultsStore s(path()); }
  ASSERT_TRUE(writeFile(path(), "second broken file"));
  { DefaultsStore s(path()); }
  ASSERT_TRUE(writeFile(path(), "third broken file"));
  { DefaultsStore s(path()); }
  std::vector<std::string> contents;
  for (auto& f : corruptFiles()) contents.push_back(readFile(f));
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"first broken file", "second broken file",
                                                "third broken file"}));
}

TEST_F(DefaultsStoreTest, MissingFileStartsEmptyWithoutQuarantine) {
  DefaultsStore s(path());
  EXPECT_TRUE(s.userDomain().empty());
  EXPECT_FALSE(std::filesystem::exists(dir.sub("prefs")));
  s.setBool(false, "k");
  EXPECT_TRUE(s.synchronize());  // creates the missing folder
  EXPECT_TRUE(std::filesystem::exists(path()));
}

TEST_F(DefaultsStoreTest, ObserversSeeEveryWriteOfTheirKeys) {
  DefaultsStore s("");
  std::vector<std::string> seen;
  int id = s.addObserver([&](const std::string& key) {
    // Reading the store from inside an observer must not deadlock.
    seen.push_back(key + "=" + s.stringForKey(key).value_or("nil"));
  });
  s.setObject(Value("x"), "a");
  s.setBool(true, "b");
  s.setInteger(3, "c");
  s.removeObject("a");
  s.removeObject("never-set");
  s.removeObserver(id);
  s.setObject(Value("y"), "a");
  EXPECT_EQ(seen, (std::vector<std::string>{"a=x", "b=1", "c=3", "a=nil"}));
}

TEST_F(DefaultsStoreTest, ConcurrentReadersAndWritersNeverSeeTornValues) {
  DefaultsStore s(path());
  constexpr int kKeys = 6, kWriters = 3, kReaders = 3, kRounds = 300;
  // Every value written is one letter repeated, so a torn value would mix letters.
  auto valueOf = [](int writer, int round) {
    return std::string(64 + round % 64, static_cast<char>('a' + writer));
  };
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      for (int r = 0; r < kRounds; ++r) {
        std::string key = "k" + std::to_string((w + r) % kKeys);
        s.setObject(Value(valueOf(w, r)), key);
        s.setInteger(r, "count" + std::to_string(w));
        if (r % 50 == 0 && !s.synchronize()) ++bad;
      }
    });
  for (int t = 0; t < kReaders; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds * 2; ++r) {
        auto v = s.stringForKey("k" + std::to_string(r % kKeys));
        if (v && (v->empty() || v->find_first_not_of((*v)[0]) != std::string::npos)) ++bad;
        long long c = s.integerForKey("count" + std::to_string(r % kWriters));
        if (c < 0 || c >= kRounds) ++bad;
        (void)s.userDomain();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  ASSERT_TRUE(s.synchronize());
  DefaultsStore reloaded(path());
  EXPECT_EQ(reloaded.userDomain(), s.userDomain());
  for (int w = 0; w < kWriters; ++w)
    EXPECT_EQ(reloaded.integerForKey("count" + std::to_string(w)), kRounds - 1);
}

TEST_F(DefaultsStoreTest, StandardStoreFollowsReset) {
  DefaultsStore::resetStandardForPath(path());
  DefaultsStore::standard().setObject(Value("v"), "k");
  EXPECT_TRUE(DefaultsStore::standard().synchronize());
  DefaultsStore::resetStandardForPath(dir.sub("other.plist"));
  EXPECT_FALSE(DefaultsStore::standard().objectForKey("k"));
  DefaultsStore::resetStandardForPath(path());
  EXPECT_EQ(DefaultsStore::standard().stringForKey("k"), "v");
}

TEST_F(DefaultsStoreTest, StandardStoreFlushesAtExit) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exits well before the background flush would run: only the exit flush can save it.
    DefaultsStore::resetStandardForPath(path());
    DefaultsStore::standard().setObject(Value("kept"), "written just before exit");
    std::exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  DefaultsStore reloaded(path());
  EXPECT_EQ(reloaded.stringForKey("written just before exit"), "kept");
}

}  // namespace
}  // namespace sorv
