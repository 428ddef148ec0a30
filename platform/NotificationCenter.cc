#include "platform/NotificationCenter.h"

#include <atomic>
#include <unordered_map>
#include <vector>

#include "platform/Mutex.h"

namespace sorv {

namespace {

struct Registration {
  NotificationCenter::Token token;
  const void* owner;
  std::string name;
  NotificationCenter::Handler handler;
  std::atomic<bool> removed{false};
};

}  // namespace

struct NotificationCenter::Impl {
  Mutex mutex;
  Token nextToken GUARDED_BY(mutex) = 1;
  // Per name, registrations in the order they were made.
  std::unordered_map<std::string, std::vector<std::shared_ptr<Registration>>> byName
      GUARDED_BY(mutex);

  void eraseIf(const std::function<bool(const Registration&)>& match) REQUIRES(mutex) {
    for (auto it = byName.begin(); it != byName.end();) {
      auto& list = it->second;
      for (auto r = list.begin(); r != list.end();) {
        if (match(**r)) {
          (*r)->removed = true;
          r = list.erase(r);
        } else {
          ++r;
        }
      }
      it = list.empty() ? byName.erase(it) : std::next(it);
    }
  }
};

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: detached threads may still post while the process exits.
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

NotificationCenter::NotificationCenter() : impl_(new Impl) {}

NotificationCenter::~NotificationCenter() {
  delete impl_;
}

NotificationCenter::Token NotificationCenter::addObserver(const void* owner,
                                                          const std::string& name,
                                                          Handler handler) {
  auto reg = std::make_shared<Registration>();
  reg->owner = owner;
  reg->name = name;
  reg->handler = std::move(handler);
  MutexLock lock(&impl_->mutex);
  reg->token = impl_->nextToken++;
  impl_->byName[name].push_back(reg);
  return reg->token;
}

void NotificationCenter::removeObserver(const void* owner) {
  MutexLock lock(&impl_->mutex);
  impl_->eraseIf([owner](const Registration& r) { return r.owner == owner; });
}

void NotificationCenter::removeObserverToken(Token token) {
  MutexLock lock(&impl_->mutex);
  impl_->eraseIf([token](const Registration& r) { return r.token == token; });
}

void NotificationCenter::post(const std::string& name, const void* object, DictRef userInfo) {
  std::vector<std::shared_ptr<Registration>> targets;
  {
    MutexLock lock(&impl_->mutex);
    auto it = impl_->byName.find(name);
    if (it == impl_->byName.end()) return;
    targets = it->second;
  }
  Notification note{name, object, std::move(userInfo)};
  // Observers added during this delivery see the next post; removed ones are skipped.
  for (const auto& reg : targets) {
    if (reg->removed) continue;
    if (reg->handler) reg->handler(&note);
  }
}

}  // namespace sorv
