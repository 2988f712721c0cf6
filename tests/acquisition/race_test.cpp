// The user-interface side working on the shared state while the thread runs:
// resets, selection changes and reads of the control model. Meant for the
// ThreadSanitizer build, where any unsynchronised access fails the test.
#include <gtest/gtest.h>

#include "acquisition/control_ids.h"
#include "thread_fixture.h"

namespace kvx::test {
namespace {

using namespace kvx::protocol;

TEST_F(ThreadTest, UserInterfaceSideRacesTheThreadWithoutDataRaces) {
  state.device.setReadTimeout(std::chrono::milliseconds(5));
  AddStrip(STRIP_A);
  AddStrip(STRIP_B);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  // Every read delivers at once; waveform packets are queued in between.
  driver.SetIdleRead(ScriptedRead::Of(SummaryReading(500)));
  clock.SetSleepHook([this](std::uint32_t ms) {
    if (ms == 2) clock.Advance(100);
    std::this_thread::yield();
  });
  StartThread();
  ASSERT_TRUE(WaitConnected());

  std::uint64_t snapshots = 0;
  for (int round = 0; round < 200; ++round) {
    for (std::uint32_t serial : {STRIP_A, STRIP_B})
      for (int p = 1; p <= WAVEFORM_PACKETS; ++p)
        driver.QueueRead(serial, ScriptedRead::Of(Reading{static_cast<std::uint8_t>(p), 0x02, {900, 1000, 1100, 1000}}));
    ResetStatistics(state.measurement);
    state.selectedOutlet.store(static_cast<std::uint8_t>(round % 3));
    state.selectedQuantity.store(round % 2 ? QUANTITY_POWER : QUANTITY_CURRENT);
    if (round % 50 == 49)
      state.selection.Set(state.selection.serial() == static_cast<std::int32_t>(STRIP_A) ? STRIP_B : STRIP_A);
    state.controls.Click(round % 4 ? ids::WAVE_CURRENT_RADIO : ids::WAVE_POWER_RADIO);
    state.controls.SetCheck(ids::AVERAGE_CHECK, round % 5 == 0);
    const ControlModel::Snapshot snapshot = state.controls.TakeSnapshot();
    snapshots += snapshot.controls.empty() ? 0 : 1;
    const AcquisitionStatus status = thread.Status();
    (void)state.measurement.outletMax[round % 4].load();
    (void)state.measurement.waveMax.load();
    (void)state.measurement.lastReadingKind.load();
    EXPECT_NE(status.state, ConnectionState::Starting);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // However the rounds were scheduled, summary readings are accepted and reach
  // the recorder once the selection holds still on the summary view of the
  // quantity the scripted readings are of (in a waveform view they contradict
  // the selection and are discarded).
  state.selectedOutlet.store(0);
  state.selectedQuantity.store(QUANTITY_CURRENT);
  ASSERT_TRUE(WaitFor([&] { return thread.Status().readingsAccepted > 100; }));
  ASSERT_TRUE(WaitFor([&] { return !recorder.Readings().empty(); }));
  thread.Stop();
  EXPECT_EQ(snapshots, 200u);
  EXPECT_GT(thread.Status().connections, 1u);
  EXPECT_EQ(driver.OpenHandles(), 0);
}

}  // namespace
}  // namespace kvx::test
