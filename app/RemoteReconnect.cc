#include "app/RemoteReconnect.h"

#include <algorithm>

namespace sorv {

double RemoteReconnect::off(double now) {
  if (onSince_ && now - *onSince_ >= kSteady) wait_ = 0;
  onSince_.reset();
  wait_ = wait_ > 0 ? std::min(wait_ * 2, kMaxWait) : kFirstWait;
  return wait_;
}

void RemoteReconnect::on(double now) {
  onSince_ = now;
}

}  // namespace sorv
