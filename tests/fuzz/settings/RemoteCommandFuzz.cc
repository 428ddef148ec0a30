// Feeds arbitrary direct-object lists to the command event: a property list when the bytes
// parse as one, else texts split at NUL bytes. The handler must answer one of its replies, and
// only a successful "setValue" may change the store.
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

sorv::Array itemsFrom(const uint8_t* data, size_t size) {
  if (auto parsed = sorv::plist::parse(data, size))
    return parsed->asArray() ? *parsed->asArray() : sorv::Array{*parsed};
  sorv::Array items;
  std::string text;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0) {
      text += static_cast<char>(data[i]);
    } else {
      items.emplace_back(text);
      text.clear();
    }
  }
  return items;
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
