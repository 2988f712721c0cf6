// The subscriber list that both drivers deliver device events through: a
// removal waits out the callback in flight, and a callback may remove itself or
// others without a deadlock.
#include "device/subscribers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace kvx::device {
namespace {

const DeviceEvent kArrival{DeviceEventType::Arrival, "{ABC-def}", "path"};

TEST(SubscribersTest, DeliversToTheEventsClassWithoutRegardToCase) {
  Subscribers subscribers;
  std::vector<int> calls;
  subscribers.Add("{abc-DEF}", [&](const DeviceEvent&) { calls.push_back(1); });
  subscribers.Add("{other}", [&](const DeviceEvent&) { calls.push_back(2); });
  subscribers.Add("{ABC-DEF}", [&](const DeviceEvent&) { calls.push_back(3); });
  subscribers.Deliver(kArrival);
  EXPECT_EQ(calls, (std::vector<int>{1, 3}));

  subscribers.Close();
  subscribers.Deliver(kArrival);
  EXPECT_EQ(calls.size(), 2u);
}

TEST(SubscribersTest, RemoveWaitsForTheRunningCallbackAndNothingRunsAfterIt) {
  Subscribers subscribers;
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> calls{0};
  std::atomic<bool> returned{false};
  const auto id = subscribers.Add(kArrival.classGuid, [&](const DeviceEvent&) {
    if (calls++ == 0) {
      entered.set_value();
      released.wait();
    }
  });
  std::thread delivery([&] { subscribers.Deliver(kArrival); });
  entered.get_future().wait();

  std::thread remover([&] {
    subscribers.Remove(id);
    returned = true;
  });
  // The removal cannot have returned while the callback is held; once it is
  // released the removal ends, and a later event reaches nobody.
  EXPECT_FALSE(returned.load());
  release.set_value();
  remover.join();
  delivery.join();
  EXPECT_TRUE(returned.load());
  subscribers.Deliver(kArrival);
  EXPECT_EQ(calls.load(), 1);
}

TEST(SubscribersTest, ACallbackMayRemoveItselfAndTheOnesAfterIt) {
  Subscribers subscribers;
  std::vector<int> calls;
  Driver::SubscriptionId first = 0;
  Driver::SubscriptionId second = 0;
  first = subscribers.Add(kArrival.classGuid, [&](const DeviceEvent&) {
    calls.push_back(1);
    subscribers.Remove(first);
    subscribers.Remove(second);
    subscribers.Add(kArrival.classGuid, [&](const DeviceEvent&) { calls.push_back(3); });
  });
  second = subscribers.Add(kArrival.classGuid, [&](const DeviceEvent&) { calls.push_back(2); });
  subscribers.Deliver(kArrival);  // the one added during delivery waits for the next event
  subscribers.Deliver(kArrival);
  EXPECT_EQ(calls, (std::vector<int>{1, 3}));
}

}  // namespace
}  // namespace kvx::device
