// The once-a-second line quantities, unplugging, failed reads and a stalled strip.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>

#include "acquisition/control_ids.h"
#include "thread_fixture.h"

namespace kvx::test {
namespace {

using namespace kvx::protocol;

// Readings every 300 ms (the read loop's 2 ms sleep plus 298 ms of strip
// pacing); the tick of every voltage request is noted.
class EnvironmentRhythmTest : public ThreadTest, public ::testing::WithParamInterface<std::uint32_t> {
 protected:
  ~EnvironmentRhythmTest() override { thread.Stop(); }  // before the members its callbacks use go

  std::vector<std::uint32_t> RefreshTicks() {
    std::lock_guard lock(mutex_);
    return refreshTicks_;
  }

  void Run(std::size_t refreshes) {
    clock.Advance(GetParam() - clock.TickCount());
    driver.SetReply([this](std::uint32_t serial, const SetupFields& s) {
      if (s.bRequest == REQ_VOLTAGE) {
        std::lock_guard lock(mutex_);
        refreshTicks_.push_back(clock.TickCount());
      }
      return ScriptedDriver::DefaultReply(serial, s);
    });
    clock.SetSleepHook([this](std::uint32_t ms) {
      if (ms == 2) clock.Advance(298);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    });
    driver.SetIdleRead(ScriptedRead::Of(SummaryReading(100)));
    AddStrip(STRIP_A);
    state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
    StartThread();
    ASSERT_TRUE(WaitFor([&] { return RefreshTicks().size() >= refreshes; }));
    thread.Stop();
  }

  std::mutex mutex_;
  std::vector<std::uint32_t> refreshTicks_;
};

TEST_P(EnvironmentRhythmTest, ReadingsEvery300MsRefreshEvery1200Ms) {
  Run(6);
  const std::uint32_t start = GetParam();
  const auto ticks = RefreshTicks();
  // The first reading of the connection (one 1 ms outer pass, one 300 ms read pass) refreshes at once.
  EXPECT_EQ(ticks[0], static_cast<std::uint32_t>(start + 301));
  for (std::size_t i = 1; i < ticks.size(); ++i)
    EXPECT_EQ(static_cast<std::uint32_t>(ticks[i] - ticks[i - 1]), 1200u) << "refresh " << i;
  // No record carries a line quantity that was never asked.
  const auto logged = recorder.Readings();
  ASSERT_FALSE(logged.empty());
  for (const LoggedReading& r : logged) {
    EXPECT_EQ(r.supplyVolts, 100.0);
    EXPECT_EQ(r.lineFrequencyHz, 50.0);
    EXPECT_EQ(r.temperatureC, 25.34);
  }
  EXPECT_EQ(state.controls.GetText(ids::VOLTAGE_VALUE), "100");
  EXPECT_EQ(state.controls.GetText(ids::FREQUENCY_VALUE), "50.00");
  EXPECT_EQ(state.controls.GetText(ids::TEMPERATURE_VALUE), "25.34");
}

// Near the 32-bit wrap of the tick counter the unsigned difference keeps the rhythm.
INSTANTIATE_TEST_SUITE_P(StartTicks, EnvironmentRhythmTest,
                         ::testing::Values(1000u, 0xFFFFFFFFu - 1700u, 0xFFFFFFFFu - 300u));

// A whole reply is stored whether its value is valid or not; a failed or
// short reply never decodes bytes of another request: "(BAD)" and 0.
TEST_F(ThreadTest, LineQuantitiesFromWholeRepliesOnlyAndBadWithZeroOtherwise) {
  auto phase = std::make_shared<std::atomic<int>>(0);
  driver.SetReply([phase](std::uint32_t serial, const SetupFields& s) -> std::optional<std::vector<std::uint8_t>> {
    const int p = phase->load();
    if (s.bRequest == REQ_VOLTAGE) {
      if (p == 1) return std::vector<std::uint8_t>{};  // a reply of 0 bytes
      return std::vector<std::uint8_t>{141};
    }
    if (s.bRequest == REQ_LINE_PERIOD) {
      if (p == 0) return std::nullopt;  // fails
      return std::vector<std::uint8_t>{0x50, 0x4E, 0, 0, 0, 0, 0, 0};  // 20048 counts
    }
    if (s.bRequest == REQ_TEMPERATURE) {
      if (p == 1) return std::nullopt;  // fails after a successful line period
      if (p == 2) return std::vector<std::uint8_t>{0x88};  // one byte of two
      return std::vector<std::uint8_t>{0x88, 0x13};  // 5000
    }
    return ScriptedDriver::DefaultReply(serial, s);
  });
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  EXPECT_EQ(state.controls.GetText(ids::VOLTAGE_VALUE), "(BAD)");      // 141 is out of range
  EXPECT_EQ(state.controls.GetText(ids::FREQUENCY_VALUE), "(BAD)");    // not 14184.40 from the 141 left over
  EXPECT_EQ(state.controls.GetText(ids::TEMPERATURE_VALUE), "50.00");
  ASSERT_EQ(recorder.Readings().size(), 1u);
  EXPECT_EQ(recorder.Readings()[0].supplyVolts, 141.0);
  EXPECT_EQ(recorder.Readings()[0].lineFrequencyHz, 0.0);
  EXPECT_EQ(recorder.Readings()[0].temperatureC, 50.0);
  AcquisitionStatus status = thread.Status();
  EXPECT_FALSE(status.lineFrequencyHz.valid);
  EXPECT_FALSE(status.supplyVolts.valid);
  EXPECT_TRUE(status.temperatureC.valid);

  phase->store(1);
  clock.Advance(1000);
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  EXPECT_EQ(state.controls.GetText(ids::VOLTAGE_VALUE), "(BAD)");
  EXPECT_EQ(state.controls.GetText(ids::FREQUENCY_VALUE), "99.76");
  EXPECT_EQ(state.controls.GetText(ids::TEMPERATURE_VALUE), "(BAD)");  // not 400.00 from the period's bytes
  EXPECT_EQ(recorder.Readings().back().supplyVolts, 0.0);
  EXPECT_EQ(recorder.Readings().back().temperatureC, 0.0);

  phase->store(2);
  clock.Advance(1000);
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  EXPECT_EQ(state.controls.GetText(ids::VOLTAGE_VALUE), "(BAD)");
  EXPECT_EQ(state.controls.GetText(ids::TEMPERATURE_VALUE), "(BAD)");  // a short reply
  EXPECT_EQ(recorder.Readings().back().temperatureC, 0.0);
  status = thread.Status();
  EXPECT_EQ(status.environmentRefreshes, 3u);
}

TEST_F(ThreadTest, UnpluggedStripEndsTheConnectionAndIdlesWithTheLastValuesShown) {
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(1000)));
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(1000)));
  ASSERT_EQ(state.controls.GetText(5010), "1000");
  const int closesBefore = recorder.CloseCount();

  driver.SetPresent(STRIP_A, false);
  ASSERT_TRUE(WaitFor([&] { return state.selection.serial() == 0; }));
  ASSERT_TRUE(WaitFor([&] { return thread.Status().state == ConnectionState::Idle; }));
  EXPECT_EQ(PipeCalls(STRIP_A).back(), "STOP");
  EXPECT_EQ(recorder.CloseCount(), closesBefore + 1);
  const auto events = recorder.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], "ConnectionEnded unplugged");  // the strip no longer opens
  EXPECT_EQ(events.back(), "Close connection_ended");
  EXPECT_EQ(driver.OpenHandles(), 0);
  EXPECT_EQ(state.controls.GetText(5010), "1000");
  EXPECT_EQ(state.controls.GetText(ids::VOLTAGE_VALUE), "100");
  EXPECT_EQ(state.controls.GetText(ids::SERIAL_VALUE), "007FF");
  EXPECT_EQ(thread.Status().connections, 1u);
}

// A line-quantity request that fails because the strip left ends the
// connection like a failed read: the reading it was asked for is not recorded
// with values never measured. One that fails otherwise is journalled.
TEST_F(ThreadTest, AStripGoneDuringTheLineQuantitiesLeavesNoRecordOfMadeUpValues) {
  auto gone = std::make_shared<std::atomic<bool>>(false);
  driver.SetReply([this, gone](std::uint32_t serial, const SetupFields& s) -> std::optional<std::vector<std::uint8_t>> {
    if (s.bRequest == REQ_TEMPERATURE && gone->load()) {
      driver.SetPresent(STRIP_A, false);
      return std::nullopt;
    }
    if (s.bRequest == REQ_LINE_PERIOD && !gone->load()) return std::nullopt;  // fails, the strip stays
    return ScriptedDriver::DefaultReply(serial, s);
  });
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {0, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  ASSERT_EQ(recorder.Readings().size(), 1u);
  EXPECT_EQ(recorder.Readings()[0].lineFrequencyHz, 0.0);  // the zero text, explained:
  auto events = recorder.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "RequestFailed REQ_LINE_PERIOD failed"), events.end());

  gone->store(true);
  clock.Advance(1000);
  driver.QueueRead(STRIP_A, ScriptedRead::Of(SummaryReading(100)));
  ASSERT_TRUE(WaitFor([&] { return state.selection.serial() == 0; }));
  EXPECT_EQ(recorder.Readings().size(), 1u);  // not one with V, Hz and temperature at 0
  events = recorder.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "ConnectionEnded unplugged"), events.end());
}

TEST_F(ThreadTest, FailedReadReopensTheStripWithoutResendingSelections) {
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  driver.QueueRead(STRIP_A, ScriptedRead::Failure());
  ASSERT_TRUE(WaitConnected(2));
  EXPECT_EQ(recorder.Identities().size(), 2u);  // identity and records read again
  const auto events = recorder.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "ConnectionEnded read_failure"), 1);  // the strip is still there

  const AcquisitionStatus before = thread.Status();
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  EXPECT_EQ(thread.Status().readingsDiscarded, before.readingsDiscarded);  // nothing was resent
  EXPECT_EQ(CountCalls(STRIP_A, "OUT 01 0000 0000"), 1);
  EXPECT_EQ(CountCalls(STRIP_A, "OUT 20 0030 0000"), 1);
  EXPECT_EQ(CountCalls(STRIP_A, "IN B0 0000 0000"), 2);  // first reading of each connection
}

TEST_F(ThreadTest, ARunOfEmptyReadsIsToldOnceWithItsCountWhenAReadingEndsIt) {
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  for (int i = 0; i < 3; ++i) driver.QueueRead(STRIP_A, ScriptedRead::EmptyRead());
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  driver.QueueRead(STRIP_A, ScriptedRead::EmptyRead());
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  const auto events = recorder.Events();
  std::vector<std::string> timeouts;
  std::copy_if(events.begin(), events.end(), std::back_inserter(timeouts),
               [](const std::string& e) { return e.rfind("ReadTimeouts", 0) == 0; });
  EXPECT_EQ(timeouts, (std::vector<std::string>{"ReadTimeouts 3", "ReadTimeouts 1"}));
}

TEST_F(ThreadTest, StalledStripKeepsTheLockFreeBetweenBoundedReads) {
  state.device.setReadTimeout(std::chrono::milliseconds(20));
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  ASSERT_TRUE(WaitFor([&] { return thread.Status().emptyReads >= 2; }));
  // A request of the user-interface thread (the suspend notice) gets through.
  EXPECT_TRUE(state.device.Request(STRIP_A, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SUSPEND, 0, 0, 0)).has_value());
  EXPECT_TRUE(HasCall(STRIP_A, "OUT 00 0000 0000"));
  // The selection is still polled before every read.
  state.selection.Set(0);
  ASSERT_TRUE(WaitFor([&] { return thread.Status().state == ConnectionState::Idle; }));
  EXPECT_EQ(PipeCalls(STRIP_A).back(), "STOP");
}

TEST_F(ThreadTest, StopWakesAReadThatWouldWaitForAnHour) {
  state.device.setReadTimeout(std::chrono::hours(1));
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  ASSERT_TRUE(WaitFor([&] { return driver.ReadCount() >= 1; }));
  thread.Stop();  // would hang here if the pending read were not woken
  EXPECT_FALSE(thread.Running());
  EXPECT_EQ(PipeCalls(STRIP_A).back(), "STOP");
  std::unique_lock lock(state.device.deviceLock(), std::try_to_lock);
  EXPECT_TRUE(lock.owns_lock());
  EXPECT_EQ(driver.OpenHandles(), 0);
}

}  // namespace
}  // namespace kvx::test
