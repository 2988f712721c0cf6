// A stop is never lost and an idle thread costs nothing: the thread sleeps
// without passes while nothing is selected, acts on a selection at once, and
// ends promptly whenever the stop comes (idle, in the pause before a read,
// behind a control request that never answers).
#include <algorithm>
#include <condition_variable>
#include <future>

#include "thread_fixture.h"

namespace kvx::test {
namespace {

using namespace std::chrono_literals;
using namespace kvx::protocol;

// The generous bound of a test that only catches a hang.
constexpr auto HANG = std::chrono::seconds(20);

class StopTest : public ThreadTest {
 protected:
  StopTest() {
    clock.SetSleepHook([this](std::uint32_t ms) {
      sleeps_.fetch_add(1);
      if (ms == 2 && holdPause_.load()) HoldPause();
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    });
  }

  bool Registered() const {
    const std::vector<std::string> events = window.Events();
    return std::find(events.begin(), events.end(), "RegisterInterfaceNotifications") != events.end();
  }

  // The acquisition thread, in the pause before a read, waits here until released.
  void HoldPause() {
    std::unique_lock lock(mutex_);
    inPause_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
  }
  void AwaitPause() {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, HANG, [&] { return inPause_; }));
  }
  void ReleasePause() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

  std::atomic<int> sleeps_{0};
  std::atomic<bool> holdPause_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool inPause_ = false;
  bool released_ = false;
};

TEST_F(StopTest, AnIdleThreadMakesNoPassesAndOpensASelectionAtOnce) {
  AddStrip(STRIP_A);
  state.startup = StartupValues{0, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return Registered() && thread.Status().state == ConnectionState::Idle; }));
  const int before = sleeps_.load();
  // A thread that polled its selection would pass thousands of times in this while.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sleeps_.load(), before);
  state.selection.Set(static_cast<std::int32_t>(STRIP_A));
  ASSERT_TRUE(WaitConnected());
  auto stop = std::async(std::launch::async, [&] { thread.Stop(); });
  EXPECT_EQ(stop.wait_for(HANG), std::future_status::ready);
}

TEST_F(StopTest, AnIdleThreadEndsOnStop) {
  state.startup = StartupValues{0, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return thread.Status().state == ConnectionState::Idle && Registered(); }));
  auto stop = std::async(std::launch::async, [&] { thread.Stop(); });
  EXPECT_EQ(stop.wait_for(HANG), std::future_status::ready);
  EXPECT_FALSE(thread.Running());
}

TEST_F(StopTest, AStopDuringThePauseBeforeAReadIsNotLost) {
  // A read would wait an hour: only the cancel of the stop ends it.
  state.device.setReadTimeout(std::chrono::hours(1));
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  holdPause_.store(true);
  StartThread();
  AwaitPause();
  auto stop = std::async(std::launch::async, [&] { thread.Stop(); });
  // Stop has cleared the flags and cancelled the (not yet started) read before the pause ends.
  ASSERT_TRUE(WaitFor([&] { return state.readLoopRunFlag.load() == 0; }));
  ReleasePause();
  EXPECT_EQ(stop.wait_for(HANG), std::future_status::ready);
  EXPECT_FALSE(thread.Running());
}

TEST_F(StopTest, AStopWithdrawsAControlRequestInFlight) {
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  state.device.setControlTimeout(std::chrono::hours(1));
  driver.SetReplyDelay(REQ_FIRMWARE_VERSION, std::nullopt);  // never answered
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return driver.PendingControls() == 1; }));
  driver.ClearCalls();
  auto stop = std::async(std::launch::async, [&] { thread.Stop(); });
  EXPECT_EQ(stop.wait_for(HANG), std::future_status::ready);
  // Nothing of the opening reached the strip after the stop: no identity, no calibration.
  for (const std::string& call : PipeCalls(STRIP_A)) EXPECT_TRUE(call == "SET_EVENT" || call == "STOP") << call;
  // The window's own requests work again once the thread has ended.
  EXPECT_TRUE(state.device.Request(STRIP_A, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SUSPEND, 0, 0, 0)).has_value());
}

TEST_F(StopTest, ARestartedThreadConnectsAgain) {
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  thread.Stop();
  StartThread();
  ASSERT_TRUE(WaitConnected(2));
}

}  // namespace
}  // namespace kvx::test
