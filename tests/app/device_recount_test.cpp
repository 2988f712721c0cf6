// Device events and the suspend notice off the owner's thread: the recount
// and the enumeration of the new list run on a worker while the owner's thread
// stays free, a burst of events costs one more pass, the owner applies the
// list in the rebuild's order, shutdown waits for a recount in flight and
// drops its list; the suspend notice holds its caller up only so long.
#include <gtest/gtest.h>

#include <thread>

#include "app/client.h"
#include "app/device_recount.h"
#include "support/gated_driver.h"
#include "support/owner_loop.h"
#include "support/scripted_driver.h"

namespace kvx {
namespace {

using test::GatedDriver;
using test::OwnerLoop;
using test::ScriptedDriver;
using test::ScriptedStrip;
using test::Strip;

const device::DeviceEvent kArrival{device::DeviceEventType::Arrival, std::string(device::primaryInterfaceGuid), "p"};

class TreeCalls : public TreeRebuildTarget {
 public:
  void DeleteAllStripItems() override { calls.push_back("delete"); }
  void AddStripToTree(const std::string& label, int position) override {
    calls.push_back(label + "@" + std::to_string(position));
  }
  std::vector<std::string> calls;  // owner's thread only
};

class DeviceEventsTest : public ::testing::Test {
 protected:
  DeviceEventsTest() {
    scripted.AddStrip(Strip(0x345));
    scripted.AddStrip(Strip(0x789));
  }
  // The list as the acquisition thread builds it at its start: on a thread
  // other than the owner's, so that the owner's thread does no device I/O at all.
  static void ListStrips(device::DeviceAccess& device) {
    std::thread([&device] { device.RebuildDeviceList(); }).join();
  }

  ScriptedDriver scripted;
  GatedDriver driver{scripted};
  OwnerLoop owner;
  const std::thread::id ownerThread = std::this_thread::get_id();
};

TEST_F(DeviceEventsTest, TheOwnersThreadIsFreeWhileASlowRecountRunsAndThenAppliesTheRebuildInOrder) {
  Client client(driver, DefaultClock(), ::testing::TempDir());
  device::DeviceAccess& device = client.state().device;
  ListStrips(device);
  client.state().selection.Set(0x789);
  client.state().controls.ShowControlRange(5001, 5033, true);
  client.state().controls.ShowControlRange(3000, 3006, true);
  TreeCalls tree;
  client.RegisterNotifications(&tree, owner.Poster());

  driver.Close();
  scripted.AddStrip(Strip(0x100));  // a third strip, lower serial, plugged in
  scripted.Announce(kArrival);      // on the owner's thread: it returns at once
  ASSERT_TRUE(driver.WaitUntilHeld());
  // The enumeration is held on the worker; the owner has nothing to do yet.
  EXPECT_EQ(owner.RunPending(), 0);
  EXPECT_TRUE(tree.calls.empty());
  EXPECT_EQ(device.deviceCount(), 2);
  EXPECT_TRUE(client.state().controls.IsVisible(5013));

  driver.Open();
  ASSERT_TRUE(owner.RunUntil([&] { return !tree.calls.empty(); }));
  EXPECT_EQ(tree.calls, (std::vector<std::string>{"delete", "S/N=00100@1", "S/N=00345@2", "S/N=00789@3"}));
  EXPECT_EQ(device.deviceCount(), 3);
  EXPECT_EQ(client.state().selection.serial(), 0x789);  // the selection is untouched
  for (int id : {5001, 5013, 5033, 3000, 3002, 4001, 6003}) EXPECT_FALSE(client.state().controls.IsVisible(id)) << id;
  EXPECT_TRUE(client.state().controls.IsVisible(2000));
  // The pass enumerates once, off the owner's thread, and applies what differs.
  EXPECT_EQ(driver.Enumerations(), 2);  // the test's own RebuildDeviceList, then the pass's

  tree.calls.clear();
  scripted.SetPresent(0x345, false);  // a removal
  scripted.Announce({device::DeviceEventType::RemoveComplete, std::string(device::primaryInterfaceGuid), "p"});
  ASSERT_TRUE(owner.RunUntil([&] { return client.recount()->passes() == 2; }));
  EXPECT_EQ(tree.calls, (std::vector<std::string>{"delete", "S/N=00100@1", "S/N=00789@2"}));
  EXPECT_EQ(device.deviceCount(), 2);
  EXPECT_FALSE(driver.DeviceIoOn(ownerThread));
  client.Shutdown();
  EXPECT_EQ(scripted.OpenHandles(), 0);
}

TEST_F(DeviceEventsTest, NoDeviceIoRunsOnTheOwnersThreadForEvents) {
  Client client(driver, DefaultClock(), ::testing::TempDir());
  TreeCalls tree;
  client.RegisterNotifications(&tree, owner.Poster());
  scripted.Announce(kArrival);
  ASSERT_TRUE(owner.RunUntil([&] { return client.recount()->passes() == 1; }));
  EXPECT_EQ(tree.calls.size(), 3u);  // 0 -> 2 strips: rebuilt
  EXPECT_GE(driver.Enumerations(), 1);
  EXPECT_FALSE(driver.DeviceIoOn(ownerThread));
}

TEST_F(DeviceEventsTest, AnUnchangedListAppliesNothing) {
  Client client(driver, DefaultClock(), ::testing::TempDir());
  ListStrips(client.state().device);
  TreeCalls tree;
  client.RegisterNotifications(&tree, owner.Poster());
  scripted.Announce(kArrival);  // some other device: the count stays 2
  ASSERT_TRUE(owner.RunUntil([&] { return client.recount()->passes() == 1; }));
  EXPECT_EQ(owner.RunPending(), 0);
  EXPECT_TRUE(tree.calls.empty());
  EXPECT_EQ(driver.Enumerations(), 2);  // the same list: nothing applied
}

TEST_F(DeviceEventsTest, ABurstOfEventsDuringAPassCostsOneMorePass) {
  device::DeviceAccess device(driver);
  ListStrips(device);
  int applied = 0;
  DeviceRecount recount(device, owner.Poster(), [&](const DeviceListUpdate& update) {
    ++applied;
    device.InstallDeviceList(update.list, update.count);
  });
  driver.Close();
  recount.Request();
  ASSERT_TRUE(driver.WaitUntilHeld());
  scripted.AddStrip(Strip(0x100));
  for (int k = 0; k < 10; ++k) recount.Request();
  EXPECT_FALSE(recount.idle());
  driver.Open();
  ASSERT_TRUE(owner.RunUntil([&] { return recount.idle(); }));
  // The held pass found three strips and rebuilt; the ten events during it
  // made one more pass, which found the list unchanged.
  EXPECT_EQ(recount.passes(), 2);
  EXPECT_EQ(applied, 1);
  EXPECT_EQ(driver.Enumerations(), 1 + 2);  // one enumeration a pass
  EXPECT_EQ(device.deviceCount(), 3);
}

TEST_F(DeviceEventsTest, ShutdownWaitsForARecountInFlightAndDropsItsList) {
  Client client(driver, DefaultClock(), ::testing::TempDir());
  ListStrips(client.state().device);
  TreeCalls tree;
  client.RegisterNotifications(&tree, owner.Poster());
  driver.Close();
  scripted.AddStrip(Strip(0x100));
  scripted.Announce(kArrival);
  ASSERT_TRUE(driver.WaitUntilHeld());
  std::thread stopper([&] { client.Shutdown(); });
  driver.Open();
  stopper.join();
  owner.RunPending();  // whatever the worker handed over before the stop
  EXPECT_TRUE(tree.calls.empty());
  EXPECT_EQ(client.state().device.deviceCount(), 2);
  scripted.Announce(kArrival);  // no longer subscribed
  EXPECT_EQ(owner.RunPending(), 0);
  EXPECT_EQ(scripted.OpenHandles(), 0);
}

// Holds deviceLock on a thread of its own, as a read in flight does.
class LockHolder {
 public:
  explicit LockHolder(std::recursive_mutex& lock) : thread_([this, &lock] {
      std::lock_guard hold(lock);
      std::unique_lock state(mutex_);
      held_ = true;
      changed_.notify_all();
      changed_.wait(state, [this] { return released_; });
    }) {
    std::unique_lock state(mutex_);
    changed_.wait(state, [this] { return held_; });
  }
  ~LockHolder() { Release(); }
  void Release() {
    {
      std::lock_guard state(mutex_);
      released_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
  std::thread thread_;
};

bool SuspendSent(const ScriptedDriver& driver) {
  for (const test::ControlCall& call : driver.Calls()) {
    if (call.setup == protocol::SetupFields{0x40, protocol::REQ_SUSPEND, 0, 0, 0}) return true;
  }
  return false;
}

TEST_F(DeviceEventsTest, TheSuspendNoticeGoesOutFromAWorker) {
  Client client(driver, DefaultClock(), ::testing::TempDir());
  ListStrips(client.state().device);
  EXPECT_FALSE(client.OnSuspend(std::chrono::seconds(10)));  // nothing selected: nothing sent
  EXPECT_FALSE(SuspendSent(scripted));
  client.state().selection.Set(0x345);
  EXPECT_TRUE(client.OnSuspend(std::chrono::seconds(10)));
  EXPECT_TRUE(SuspendSent(scripted));
  EXPECT_FALSE(driver.DeviceIoOn(ownerThread));
}

TEST_F(DeviceEventsTest, ASuspendNoticeThatCannotGoOutInTimeReturnsAndIsNeverSentLate) {
  Client client(driver, DefaultClock(), ::testing::TempDir());
  ListStrips(client.state().device);
  client.state().selection.Set(0x345);
  LockHolder read(client.state().device.deviceLock());
  EXPECT_FALSE(client.OnSuspend(std::chrono::milliseconds(20)));  // returns while the lock is still held
  read.Release();
  client.Shutdown();  // the notice's worker has run its job when this returns
  EXPECT_FALSE(SuspendSent(scripted));
}

}  // namespace
}  // namespace kvx
