// Changes of outlet, quantity and strip while a connection is open.
#include <gtest/gtest.h>

#include <algorithm>

#include "acquisition/control_ids.h"
#include "thread_fixture.h"

namespace kvx::test {
namespace {

using namespace kvx::protocol;

class SelectionTest : public ThreadTest {
 protected:
  void SetUp() override {
    AddStrip(STRIP_A);
    AddStrip(STRIP_B);
    // Outlet 3's record: x * 1200 / 1000 + 5 up to 2000.
    driver.SetReply([](std::uint32_t serial, const SetupFields& s) -> std::optional<std::vector<std::uint8_t>> {
      if (s.bRequest == REQ_READ_MEMORY && s.wValue == 0x0300 && s.wIndex == CalibrationRecordOffset(3))
        return std::vector<std::uint8_t>{0xE8, 0x03, 0xB0, 0x04, 5, 0, 0xD0, 0x07};
      if (s.bRequest == REQ_READ_MEMORY && s.wValue == 0x0300 && s.wIndex == CalibrationSecondReadOffset(3))
        return std::vector<std::uint8_t>{0xE8, 0x03, 0x4C, 0x04, 0, 0, 0, 0};
      return ScriptedDriver::DefaultReply(serial, s);
    });
    state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
    StartThread();
    ASSERT_TRUE(WaitConnected());
    // The first reading after the selections is discarded; the second one counts.
    ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
    ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
    ASSERT_EQ(thread.Status().readingsAccepted, 1u);
  }

  // The thread waits in a read: a reading wakes it, and the pass after it sends
  // what changed meanwhile.
  bool ChangeThenWaitFor(const std::string& request) {
    return Feed(STRIP_A, SummaryReading(100)) && WaitFor([&] { return HasCall(STRIP_A, request); });
  }

  bool FeedFrame(std::uint8_t outlet, std::uint16_t value) {
    for (int p = 1; p <= WAVEFORM_PACKETS; ++p)
      if (!Feed(STRIP_A, Reading{static_cast<std::uint8_t>(p), outlet, {value, value, value, value}})) return false;
    return true;
  }
};

TEST_F(SelectionTest, OutletThreeThenSummaryAgain) {
  const int closesBefore = recorder.CloseCount();
  state.selectedOutlet.store(3);
  ASSERT_TRUE(ChangeThenWaitFor("OUT 01 0003 0000"));
  EXPECT_EQ(state.measurement.rmsCurrentMin.load(), OUTLET_MIN_RESET);  // statistics reset when sent
  EXPECT_EQ(recorder.CloseCount(), closesBefore + 1);

  const AcquisitionStatus before = thread.Status();
  ASSERT_TRUE(Feed(STRIP_A, Reading{1, 0x03, {2000, 2000, 2000, 2000}}));
  EXPECT_EQ(thread.Status().readingsDiscarded, before.readingsDiscarded + 1);
  EXPECT_EQ(state.measurement.lastReadingKind.load(), 0x03);  // stored for a discarded reading too

  // A flat frame of outlet 3, corrected with the record of this connection.
  ASSERT_TRUE(FeedFrame(0x03, 2000));
  EXPECT_EQ(state.controls.GetText(ids::WAVE_VALUE), "5.00");
  EXPECT_EQ(graph.Frames().size(), 1u);
  EXPECT_EQ(thread.Status().waveformFrames, 1u);

  // Back to the summary: no reading is discarded, but the first summary reading
  // after waveform packets fails the packet-index rule.
  state.measurement.activePowerMax.store(3.0);
  state.selectedOutlet.store(0);
  ASSERT_TRUE(Feed(STRIP_A, Reading{7, 0x03, {2000, 2000, 2000, 2000}}));
  ASSERT_TRUE(WaitFor([&] { return CountCalls(STRIP_A, "OUT 01 0000 0000") == 2; }));
  EXPECT_EQ(state.measurement.activePowerMax.load(), 0.0);
  EXPECT_EQ(recorder.CloseCount(), closesBefore + 2);
  const AcquisitionStatus atSummary = thread.Status();
  const std::size_t logged = recorder.Readings().size();
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(700)));
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(800)));
  const AcquisitionStatus after = thread.Status();
  EXPECT_EQ(after.readingsDiscarded, atSummary.readingsDiscarded);
  EXPECT_EQ(after.readingsDropped, atSummary.readingsDropped + 1);
  EXPECT_EQ(after.readingsAccepted, atSummary.readingsAccepted + 1);
  ASSERT_EQ(recorder.Readings().size(), logged + 1);
  EXPECT_EQ(state.controls.GetText(5010), "800");
}

TEST_F(SelectionTest, QuantityChangeClosesTheFilesAndDiscardsOneReading) {
  const int closesBefore = recorder.CloseCount();
  state.measurement.activePowerMax.store(3.0);
  state.selectedQuantity.store(QUANTITY_POWER);
  ASSERT_TRUE(ChangeThenWaitFor("OUT 20 0010 0000"));
  EXPECT_EQ(recorder.CloseCount(), closesBefore + 1);
  EXPECT_EQ(state.measurement.activePowerMax.load(), 3.0);  // no reset when the quantity is sent

  const AcquisitionStatus before = thread.Status();
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(1000, 0x10)));
  EXPECT_EQ(state.measurement.activePowerMax.load(), 0.0);  // the discarded reading resets
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(1000, 0x10)));
  const AcquisitionStatus after = thread.Status();
  EXPECT_EQ(after.readingsDiscarded, before.readingsDiscarded + 1);
  EXPECT_EQ(after.readingsAccepted, before.readingsAccepted + 1);
  EXPECT_EQ(recorder.Readings().back().kind, LOG_KIND_POWER);
}

TEST_F(SelectionTest, OutletAndQuantityTogetherGoOutOutletFirstBeforeTheSameRead) {
  state.selectedOutlet.store(2);
  state.selectedQuantity.store(QUANTITY_POWER);
  ASSERT_TRUE(ChangeThenWaitFor("OUT 20 0010 0000"));
  const auto calls = PipeCalls(STRIP_A);
  const auto outlet = std::find(calls.begin(), calls.end(), "OUT 01 0002 0000");
  const auto quantity = std::find(calls.begin(), calls.end(), "OUT 20 0010 0000");
  ASSERT_NE(outlet, calls.end());
  EXPECT_EQ(outlet + 1, quantity);

  const AcquisitionStatus before = thread.Status();
  ASSERT_TRUE(Feed(STRIP_A, Reading{1, 0x02, {1, 2, 3, 4}}));
  ASSERT_TRUE(Feed(STRIP_A, Reading{2, 0x02, {1, 2, 3, 4}}));
  const AcquisitionStatus after = thread.Status();
  EXPECT_EQ(after.readingsDiscarded, before.readingsDiscarded + 1);
  EXPECT_EQ(after.readingsAccepted, before.readingsAccepted + 1);
}

TEST_F(SelectionTest, AnotherStripEndsTheConnectionAndStartsAfresh) {
  const int closesBefore = recorder.CloseCount();
  state.selection.Set(STRIP_B);
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  ASSERT_TRUE(WaitConnected(2));
  EXPECT_EQ(PipeCalls(STRIP_A).back(), "STOP");
  EXPECT_GE(recorder.CloseCount(), closesBefore + 1);  // the files of strip A end with its connection
  const auto events = recorder.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "ConnectionEnded selection_changed"), events.end());

  const auto identities = recorder.Identities();
  ASSERT_EQ(identities.size(), 2u);
  EXPECT_EQ(identities[1].serialText, "012ABC");
  EXPECT_EQ(state.controls.GetText(ids::SERIAL_VALUE), "12ABC");
  ASSERT_TRUE(WaitFor([&] { return HasCall(STRIP_B, "OUT 20 0030 0000"); }));
  const auto calls = PipeCalls(STRIP_B);
  const auto setEvent = std::find(calls.begin(), calls.end(), "SET_EVENT");
  ASSERT_NE(setEvent, calls.end());
  EXPECT_EQ(*(setEvent + 1), "OUT 01 0000 0000");
  EXPECT_EQ(*(setEvent + 2), "OUT 20 0030 0000");

  const AcquisitionStatus before = thread.Status();
  ASSERT_TRUE(Feed(STRIP_B, SummaryReading(100)));
  EXPECT_EQ(thread.Status().readingsDiscarded, before.readingsDiscarded + 1);
  // The new strip's line quantities are asked with its first reading.
  EXPECT_TRUE(HasCall(STRIP_B, "IN B0 0000 0000"));
}

}  // namespace
}  // namespace kvx::test
