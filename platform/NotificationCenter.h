// Named notifications, delivered synchronously on the posting thread, to observers in the
// order they registered, for any sender.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Value.h"

namespace sorv {

struct Notification {
  std::string name;
  const void* object = nullptr;  // the poster, or nullptr
  DictRef userInfo;              // may be null
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification*)>;
  using Token = std::uint64_t;

  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Registers handler for `name`; `owner` groups registrations for removeObserver.
  Token addObserver(const void* owner, const std::string& name, Handler handler);
  // Removes every registration of owner (or one token). A handler being run finishes.
  void removeObserver(const void* owner);
  void removeObserverToken(Token token);

  // Calls every observer of name, in registration order, on this thread, before returning.
  // Observers may post and register during delivery; no lock is held while they run.
  void post(const std::string& name, const void* object = nullptr, DictRef userInfo = nullptr);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace sorv
