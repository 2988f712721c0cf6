#include "device/subscribers.h"

#include <vector>

namespace kvx::device {

Driver::SubscriptionId Subscribers::Add(std::string_view classGuid, Driver::EventCallback callback) {
  std::lock_guard lock(mutex_);
  const Driver::SubscriptionId id = next_++;
  subscribers_[id] = Subscriber{std::string(classGuid), std::move(callback)};
  return id;
}

void Subscribers::Remove(Driver::SubscriptionId id) {
  std::unique_lock lock(mutex_);
  subscribers_.erase(id);
  if (delivering_ == id && deliveringThread_ == std::this_thread::get_id()) return;
  delivered_.wait(lock, [&] { return delivering_ != id; });
}

void Subscribers::Deliver(const DeviceEvent& event) {
  std::vector<Driver::SubscriptionId> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, subscriber] : subscribers_)
      if (EqualsNoCase(subscriber.classGuid, event.classGuid)) targets.push_back(id);
  }
  // Looked up again before each call: an earlier callback may have removed a later one.
  for (const Driver::SubscriptionId id : targets) {
    Driver::EventCallback callback;
    {
      std::lock_guard lock(mutex_);
      const auto it = subscribers_.find(id);
      if (closed_ || it == subscribers_.end()) continue;
      callback = it->second.callback;
      delivering_ = id;
      deliveringThread_ = std::this_thread::get_id();
    }
    callback(event);
    {
      std::lock_guard lock(mutex_);
      delivering_ = 0;
      deliveringThread_ = {};
    }
    delivered_.notify_all();
  }
}

void Subscribers::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

}  // namespace kvx::device
