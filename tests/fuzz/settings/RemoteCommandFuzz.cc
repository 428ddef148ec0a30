// Feeds arbitrary direct-object lists to the command event: a property list when the bytes
// parse as one, else texts split at NUL bytes. The handler must answer one of its replies, and
// a refused command must leave the store as it was.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/Plist.h"
#include "platform/Value.h"
#include "settings/DefaultsStore.h"
#include "settings/RemoteEvents.h"

namespace {

struct NullTarget : sorv::RemoteEventTarget {
  void forceProcessToPause() override {}
  void ibClickedOnSynchronizeAgain() override {}
  void closeCurrentAlert() override {}
  void ibClickedOnQuit() override {}
};

sorv::Array itemsFrom(const uint8_t* data, size_t size) {
  if (auto parsed = sorv::plist::parse(data, size)) {
    if (const sorv::Array* list = parsed->asArray()) return *list;
    return sorv::Array{*parsed};
  }
  sorv::Array items;
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      items.emplace_back(text);
      text.clear();
    } else {
      text += static_cast<char>(data[i]);
    }
  }
  items.emplace_back(text);
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    sorv::DefaultsStore::resetStandardForPath("");
    return true;
  }();
  (void)once;
  auto& store = sorv::DefaultsStore::standard();
  sorv::Dict before = store.userDomain();
  NullTarget target;
  sorv::AppleEvent event{sorv::kSorvEventClass, sorv::kCommandEventID, itemsFrom(data, size)};
  sorv::AppleEventReply reply;
  sorv::handleTestAEHandler(target, &event, &reply);
  if (!reply) abort();
  if (const std::string* text = reply->asString()) {
    if (*text != sorv::kReplyCommandSuccess && *text != sorv::kReplyCommandFailed) abort();
    if (*text == sorv::kReplyCommandFailed && store.userDomain() != before) abort();
  } else {
    const sorv::Array* list = reply->asArray();
    if (!list || list->size() != 2 || (*list)[0] != sorv::Value(sorv::kReplyCommandSuccess))
      abort();
    const sorv::Array* inner = (*list)[1].asArray();
    if (!inner || inner->size() != 3 || store.userDomain() != before) abort();
  }
  return 0;
}
