#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"

namespace sorv {
namespace {

TEST(NotificationCenterTest, DeliversInRegistrationOrderOnThePostingThread) {
  NotificationCenter nc;
  std::vector<std::string> calls;
  std::vector<std::thread::id> threads;
  int ownerA = 0, ownerB = 0;
  auto record = [&](const char* tag) {
    return [&, tag](const Notification* n) {
      calls.push_back(std::string(tag) + ":" + n->name);
      threads.push_back(std::this_thread::get_id());
    };
  };
  nc.addObserver(&ownerA, "Upload", record("a1"));
  nc.addObserver(&ownerB, "Upload", record("b"));
  nc.addObserver(&ownerA, "Upload", record("a2"));
  nc.addObserver(&ownerB, "Other", record("b-other"));

  std::thread::id worker;
  std::thread t([&] {
    worker = std::this_thread::get_id();
    nc.post("Upload");
    // Delivery is complete when post returns.
    EXPECT_EQ(calls.size(), 3u);
  });
  t.join();
  EXPECT_EQ(calls, (std::vector<std::string>{"a1:Upload", "b:Upload", "a2:Upload"}));
  for (auto id : threads) EXPECT_EQ(id, worker);

  calls.clear();
  nc.removeObserver(&ownerA);
  nc.post("Upload");
  nc.post("Nobody listens");
  EXPECT_EQ(calls, (std::vector<std::string>{"b:Upload"}));
}

TEST(NotificationCenterTest, CarriesSenderAndSharedUserInfo) {
  NotificationCenter nc;
  int sender = 0;
  DictRef info = makeDict({{"edFileName", Value("a.jpg")}});
  nc.addObserver(nullptr, "N", [&](const Notification* n) {
    EXPECT_EQ(n->object, &sender);
    ASSERT_TRUE(n->userInfo);
    (*n->userInfo)["httpStatusCode"] = Value(200);  // observers write into the poster's dict
  });
  nc.post("N", &sender, info);
  EXPECT_EQ(info->at("httpStatusCode"), Value(200));
  nc.addObserver(nullptr, "Null", [](const Notification* n) { EXPECT_FALSE(n->userInfo); });
  nc.post("Null");
}

TEST(NotificationCenterTest, ObserversMayRegisterRemoveAndPostDuringDelivery) {
  NotificationCenter nc;
  std::vector<std::string> calls;
  int owner = 0;
  NotificationCenter::Token later = 0;
  nc.addObserver(&owner, "Start", [&](const Notification*) {
    calls.push_back("start");
    // Nested post, as the cycle does from inside a handler.
    nc.post("Done");
    nc.addObserver(&owner, "Start", [&](const Notification*) { calls.push_back("added"); });
    nc.removeObserverToken(later);
  });
  later = nc.addObserver(&owner, "Start", [&](const Notification*) { calls.push_back("removed"); });
  nc.addObserver(&owner, "Done", [&](const Notification*) { calls.push_back("done"); });

  nc.post("Start");
  // The observer added during delivery is first called on the next post; the one removed
  // before its turn is skipped.
  EXPECT_EQ(calls, (std::vector<std::string>{"start", "done"}));
  calls.clear();
  nc.removeObserver(&owner);
  nc.post("Start");
  EXPECT_TRUE(calls.empty());
}

TEST(NotificationCenterTest, ConcurrentPostsAndRegistrationsAreSafe) {
  NotificationCenter nc;
  std::mutex m;
  int count = 0;
  nc.addObserver(nullptr, "Tick", [&](const Notification*) {
    std::lock_guard<std::mutex> lock(m);
    ++count;
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      int owner = t;
      for (int i = 0; i < 200; ++i) {
        nc.post("Tick");
        nc.addObserver(&owner, "Other", [](const Notification*) {});
        nc.removeObserver(&owner);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(count, 800);
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
}  // namespace sorv
