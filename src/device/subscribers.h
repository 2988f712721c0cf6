// The subscriber list of a driver's device events: who asked for which
// interface class, and the one rule every driver must keep for them, that once
// Unsubscribe has returned its callback is not running and never runs again.
// A driver owns one of these and calls Deliver from its one delivery thread.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "device/driver.h"

namespace kvx::device {

class Subscribers {
 public:
  Driver::SubscriptionId Add(std::string_view classGuid, Driver::EventCallback callback);

  // Removes the subscription; waits until a callback of it that is running
  // has returned, unless called from within a callback (which would never end).
  void Remove(Driver::SubscriptionId id);

  // Calls each subscriber of the event's class in turn, without holding the
  // list's lock, so a callback may subscribe, unsubscribe or call the driver.
  void Deliver(const DeviceEvent& event);

  // Nothing is delivered once this has been called (the driver is stopping).
  void Close();

 private:
  struct Subscriber {
    std::string classGuid;
    Driver::EventCallback callback;
  };

  std::mutex mutex_;
  std::condition_variable delivered_;
  std::map<Driver::SubscriptionId, Subscriber> subscribers_;
  Driver::SubscriptionId next_ = 1;
  Driver::SubscriptionId delivering_ = 0;
  std::thread::id deliveringThread_;
  bool closed_ = false;
};

}  // namespace kvx::device
