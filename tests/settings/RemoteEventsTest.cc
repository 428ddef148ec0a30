#include <gtest/gtest.h>

#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "settings/RemoteEvents.h"

namespace sorv {
namespace {

struct NullTarget : RemoteEventTarget {
  void forceProcessToPause() override {}
  void ibClickedOnSynchronizeAgain() override {}
  void closeCurrentAlert() override {}
  void ibClickedOnQuit() override {}
};

class RemoteEventsTest : public ::testing::Test {
 protected:
  void SetUp() override { DefaultsStore::resetStandardForPath(""); }
  void TearDown() override { DefaultsStore::resetStandardForPath(""); }
  AppleEventReply send(std::uint32_t cls, std::uint32_t id, std::optional<Array> items,
                       bool withReply = true) {
    AppleEvent event{cls, id, std::move(items)};
    AppleEventReply reply;
    handleTestAEHandler(target, &event, withReply ? &reply : nullptr);
    return reply;
  }
  NullTarget target;
};

// Lists the bus cannot express (missing, short, non-text items, no reply event), and an
// unknown command word.
TEST_F(RemoteEventsTest, MalformedCommandEventsStoreNothing) {
  struct Case {
    std::optional<Array> items;
    bool withReply;
    AppleEventReply reply;
  } cases[] = {
      {std::nullopt, true, Value("COMMAND FAILED")},
      {Array{}, true, Value("COMMAND FAILED")},
      {Array{"setValue", "userLoginName"}, true, Value("COMMAND FAILED")},
      {Array{"setValue", "userLoginName", Value(5)}, true, Value("COMMAND FAILED")},
      {Array{Value(), "userLoginName", "x"}, true, Value("COMMAND FAILED")},
      {Array{"setValue", Value(Array{"userLoginName"}), "x"}, true, Value("COMMAND FAILED")},
      {Array{"setValue", "userLoginName", "x"}, false, std::nullopt},
      {Array{"frobValue", "userLoginName", "x"}, true, Value("COMMAND SUCCESS")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Value(c.items.value_or(Array{})).description());
    EXPECT_EQ(send(kSorvEventClass, kCommandEventID, c.items, c.withReply), c.reply);
    EXPECT_TRUE(DefaultsStore::standard().userDomain().empty());
  }
}

TEST_F(RemoteEventsTest, NumbersTakeTheLongestDecimalPrefix) {
  const std::pair<const char*, double> cases[] = {
      {"90", 90},  {"  90", 90}, {"90abc", 90}, {"9e1", 90}, {"abc", 0}, {"-5", -5},
      {".5", 0.5}, {"0x10", 0},  {"inf", 0},    {"nan", 0},  {"", 0},    {"+7.9x", 7.9}};
  for (const auto& [text, value] : cases)
    EXPECT_DOUBLE_EQ(leadingDecimalValue(text), value) << text;
  // Values no reader can use are refused rather than stored.
  for (const char* text : {"1e400", "1e39"}) {
    EXPECT_EQ(
        send(kSorvEventClass, kCommandEventID, Array{"setValue", sPrefSecondsBetweenScans, text}),
        Value("COMMAND FAILED"));
  }
  EXPECT_EQ(send(kSorvEventClass, kCommandEventID,
                 Array{"setValue", sPrefDaysOldBeforeDeleting, "65535"}),
            Value("COMMAND FAILED"));
  EXPECT_TRUE(DefaultsStore::standard().userDomain().empty());
}

// Keys sent in other letter cases are stored under the setting's own spelling.
TEST_F(RemoteEventsTest, KeysInOtherCasesReachTheSetting) {
  EXPECT_EQ(send(kSorvEventClass, kCommandEventID, Array{"SETVALUE", "PREFAUTOSYNCHRONIZE", "Yes"}),
            Value("COMMAND SUCCESS"));
  EXPECT_TRUE(Preferences::getDoAutoSynchronize());
  EXPECT_EQ(DefaultsStore::standard().objectForKey(sPrefAutoSynchronize), Value("Yes"));
  EXPECT_EQ(
      send(kSorvEventClass, kCommandEventID, Array{"setvalue", "PrefDaysOldBeforeDeleting", "7.9"}),
      Value("COMMAND SUCCESS"));
  EXPECT_EQ(DefaultsStore::standard().objectForKey(sPrefDaysOldBeforeDeleting), Value(7));
  EXPECT_EQ(DefaultsStore::standard().userDomain().size(), 2u);
  // A key without a value answers the plain text.
  EXPECT_EQ(send(kSorvEventClass, kCommandEventID, Array{"getValue", "userEnteredEventName", ""}),
            Value("COMMAND SUCCESS"));
}

}  // namespace
}  // namespace sorv
