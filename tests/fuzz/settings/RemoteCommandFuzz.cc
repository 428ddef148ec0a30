// Feeds arbitrary direct-object lists to the command event. The handler must answer one of its
// replies, and only a successful "setValue" may change the store.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/Plist.h"
#include "settings/DefaultsStore.h"
#include "settings/RemoteEvents.h"

namespace {

struct NullTarget : sorv::RemoteEventTarget {
  void forceProcessToPause() override {}
  void ibClickedOnSynchronizeAgain() override {}
  void closeCurrentAlert() override {}
  void ibClickedOnQuit() override {}
};

// A property-list array is the list itself; any other input is one item.
sorv::Array itemsFrom(const uint8_t* data, size_t size) {
  auto parsed = sorv::plist::parse(data, size);
  if (!parsed) return sorv::Array{std::string(reinterpret_cast<const char*>(data), size)};
  return parsed->asArray() ? *parsed->asArray() : sorv::Array{*parsed};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool once = (sorv::DefaultsStore::resetStandardForPath(""), true);
  (void)once;
  auto& store = sorv::DefaultsStore::standard();
  const sorv::Dict before = store.userDomain();
  NullTarget target;
  sorv::AppleEvent event{sorv::kSorvEventClass, sorv::kCommandEventID, itemsFrom(data, size)};
  sorv::AppleEventReply reply;
  sorv::handleTestAEHandler(target, &event, &reply);
  const std::string* text = reply ? reply->asString() : nullptr;
  const sorv::Array* list = reply ? reply->asArray() : nullptr;
  bool changed = store.userDomain() != before;
  if (text && *text == sorv::kReplyCommandFailed && !changed) return 0;
  if (text && *text == sorv::kReplyCommandSuccess) return 0;
  if (list && list->size() == 2 && (*list)[0] == sorv::Value(sorv::kReplyCommandSuccess) &&
      (*list)[1].asArray() && (*list)[1].asArray()->size() == 3 && !changed)
    return 0;
  abort();
}
