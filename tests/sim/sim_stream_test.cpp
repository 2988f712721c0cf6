// Readings on "path\PIPE00": arming with SET_EVENT, STOP, summary readings and
// waveform packets, pacing on the driver's clock, time-outs, cancellation,
// several handles, stalls and corrupted packet indices.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "sim_test_util.h"
#include "support/wait_for.h"

namespace kvx::sim::test {
namespace {

using namespace kvx::protocol;
using std::chrono::milliseconds;
using device::ReadStatus;

constexpr milliseconds SHORT_WAIT{20};
constexpr milliseconds WAKE_WAIT{20000};  // only reached if the driver fails to wake the read

// Waits until `count` reads are pending.
void AwaitPendingReads(SimDriver& driver, int count) {
  ASSERT_TRUE(kvx::test::WaitFor([&] { return driver.PendingReadCount() >= count; }));
}

TEST(SimPipe, ReadsNeedSetEventAndFailAfterStop) {
  SimDriver driver(OneStrip(), Manual());
  const device::Handle pipe = driver.Open(driver.DevicePath(0) + "\\PIPE00");
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
  EXPECT_EQ(driver.ReadCount(0), 0u);
  ASSERT_TRUE(SendCode(driver, pipe, IOCTL_STRIP_SET_EVENT));
  const ReadOutcome first = ReadOnce(driver, pipe);
  EXPECT_EQ(first.status, ReadStatus::Completed);
  EXPECT_EQ(first.bytes, READING_SIZE);
  EXPECT_TRUE(SendCode(driver, pipe, IOCTL_STRIP_STOP));
  EXPECT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Failed);
  driver.Close(pipe);
  EXPECT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Failed);  // closed handle
}

TEST(SimPipe, SetEventNeedsTheEventValueAndInterfaceHandlesCannotBeRead) {
  SimDriver driver(OneStrip(), Manual());
  const device::Handle pipe = driver.Open(driver.DevicePath(0) + "\\PIPE00");
  std::uint32_t returned = 0;
  EXPECT_FALSE(driver.Control(pipe, IOCTL_STRIP_SET_EVENT, {}, {}, returned));
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
  const device::Handle iface = driver.Open(driver.DevicePath(0));
  EXPECT_TRUE(SendCode(driver, iface, IOCTL_STRIP_SET_EVENT));  // accepted on either handle
  EXPECT_EQ(ReadOnce(driver, iface).status, ReadStatus::Failed);
  EXPECT_EQ(driver.Open(driver.DevicePath(0) + "\\PIPE01"), device::INVALID_HANDLE_VALUE);
}

TEST(SimPipe, SmallerBufferGetsTheFirstBytes) {
  SimDriver driver(OneStrip({LoadSpec::Heater(100.0)}), Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  std::array<std::uint8_t, 4> small{};
  const device::ReadResult result = driver.Read(pipe, small, milliseconds(0));
  EXPECT_EQ(result.status, ReadStatus::Completed);
  EXPECT_EQ(result.bytes, 4u);
  EXPECT_EQ(small[0], STATE_ON_BIT);
  EXPECT_EQ(small[3], QUANTITY_CURRENT);
}

TEST(SimStream, SummaryReadingsCarryStateQuantityAndValues) {
  SimDriver driver(OneStrip({LoadSpec::Heater(1000.0), LoadSpec::Empty(), LoadSpec::Heater(50.0)}), Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  Reading r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.packetIndex, STATE_ON_BIT);
  EXPECT_EQ(r.readingKind, QUANTITY_CURRENT);  // the power-on default
  EXPECT_EQ(r.value, (std::array<std::uint16_t, 4>{10000, 0, 500, 0}));
  SelectQuantity(driver, 0, QUANTITY_POWER);
  r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.readingKind, QUANTITY_POWER);
  EXPECT_EQ(r.value, (std::array<std::uint16_t, 4>{1000, 0, 50, 0}));
  driver.SetOn(0, false);
  r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.packetIndex, 0x00);
  EXPECT_EQ(r.value, (std::array<std::uint16_t, 4>{0, 0, 0, 0}));
  const ReadingBytes raw = EncodeReading(r);
  EXPECT_EQ(ClassifyReading(DecodeReading(raw), 0x00), ReadingVerdict::Summary);
}

TEST(SimStream, WaveformPacketsCycleThroughTheFrameOfTheSelectedOutlet) {
  SimDriver driver(OneStrip({LoadSpec::Empty(), LoadSpec::Heater(500.0)}), Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  ASSERT_TRUE(SelectOutlet(driver, 0, 2));
  std::array<std::uint16_t, WAVEFORM_SAMPLES> first{};
  for (int k = 0; k < 2 * WAVEFORM_PACKETS; ++k) {
    const Reading r = ReadOnce(driver, pipe).reading();
    EXPECT_EQ(r.packetIndex, k % WAVEFORM_PACKETS + 1);
    EXPECT_EQ(r.readingKind, 2);
    EXPECT_EQ(ClassifyReading(r, 0), ReadingVerdict::Waveform);
    for (std::size_t j = 0; j < 4; ++j) {
      const std::size_t sample = static_cast<std::size_t>(FirstSampleOfPacket(r.packetIndex)) + j;
      if (k < WAVEFORM_PACKETS) first[sample] = r.value[j];
      else EXPECT_EQ(r.value[j], first[sample]);  // a steady load repeats its frame
    }
  }
  EXPECT_EQ(std::max_element(first.begin(), first.end()) - first.begin(), 31);
}

TEST(SimStream, NewSelectionRestartsTheFrameAndOutletZeroGoesBackToSummaries) {
  SimDriver driver(OneStrip({LoadSpec::Heater(500.0)}), Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  SelectOutlet(driver, 0, 1);
  for (int k = 0; k < 5; ++k) ReadOnce(driver, pipe);
  EXPECT_EQ(driver.Status(0).nextPacket, 6);
  SelectOutlet(driver, 0, 3);
  Reading r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.packetIndex, 1);
  EXPECT_EQ(r.readingKind, 3);
  SelectOutlet(driver, 0, 1);
  EXPECT_EQ(ReadOnce(driver, pipe).reading().packetIndex, 1);
  SelectOutlet(driver, 0, 0);
  r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.packetIndex, STATE_ON_BIT);
  EXPECT_EQ(r.readingKind, QUANTITY_CURRENT);
}

TEST(SimStream, TheReadingPreparedBeforeASelectionChangeGoesOutFirst) {
  Scenario scenario = OneStrip({LoadSpec::Heater(500.0)});
  scenario.strips[0].readingInFlight = true;
  SimDriver driver(scenario, Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  SelectOutlet(driver, 0, 2);  // from summary readings: one summary reading still comes
  Reading r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.packetIndex, STATE_ON_BIT);
  EXPECT_EQ(r.readingKind, QUANTITY_CURRENT);
  r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.packetIndex, 1);
  EXPECT_EQ(r.readingKind, 2);
  ReadOnce(driver, pipe);  // packet 2
  SelectOutlet(driver, 0, 0);   // two changes before the next read leave one old packet
  SelectQuantity(driver, 0, QUANTITY_POWER);
  r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.packetIndex, 3);
  EXPECT_EQ(r.readingKind, 2);
  r = ReadOnce(driver, pipe).reading();
  EXPECT_EQ(r.packetIndex, STATE_ON_BIT);
  EXPECT_EQ(r.readingKind, QUANTITY_POWER);
}

TEST(SimPacing, SummaryAndWaveformIntervalsFollowTheDriversClock) {
  Scenario scenario = OneStrip({LoadSpec::Heater(500.0)});
  scenario.strips[0].summaryIntervalMs = 100;
  scenario.strips[0].waveformIntervalMs = 10;
  SimDriver driver(scenario, Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  EXPECT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Completed);  // the first is waiting already
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
  driver.AdvanceClock(milliseconds(99));
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
  driver.AdvanceClock(milliseconds(1));
  EXPECT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Completed);
  // A late read gets the waiting reading at once, then the next grid point.
  driver.AdvanceClock(milliseconds(350));  // now 450: grid points 200, 300, 400 passed
  EXPECT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Completed);
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
  driver.AdvanceClock(milliseconds(50));  // 500
  EXPECT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Completed);

  SelectOutlet(driver, 0, 1);  // waveform packets every 10 ms, from now on
  driver.AdvanceClock(milliseconds(10));
  EXPECT_EQ(ReadOnce(driver, pipe).reading().packetIndex, 1);
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
  driver.AdvanceClock(milliseconds(10));
  EXPECT_EQ(ReadOnce(driver, pipe).reading().packetIndex, 2);
}

TEST(SimPacing, AdvancingTheClockWakesAWaitingRead) {
  Scenario scenario = OneStrip();
  scenario.strips[0].summaryIntervalMs = 100;
  SimDriver driver(scenario, Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  ReadOnce(driver, pipe);
  auto waiting = std::async(std::launch::async, [&] { return ReadOnce(driver, pipe, WAKE_WAIT).status; });
  AwaitPendingReads(driver, 1);
  driver.AdvanceClock(milliseconds(100));
  EXPECT_EQ(waiting.get(), ReadStatus::Completed);
}

TEST(SimPacing, UnpacedReadingsComeAsFastAsTheyAreRead) {
  SimDriver driver(OneStrip({LoadSpec::Smps(100.0)}), Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  for (int k = 0; k < 500; ++k) ASSERT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Completed);
  SelectOutlet(driver, 0, 1);
  for (int k = 0; k < 500; ++k) ASSERT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Completed);
  EXPECT_EQ(driver.ReadCount(0), 1000u);
}

TEST(SimPacing, OnTheSteadyClockAWaitingReadWakesWhenItsReadingIsDue) {
  Scenario scenario = OneStrip();
  scenario.strips[0].summaryIntervalMs = 5;
  SimDriver driver(scenario);
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(ReadOnce(driver, pipe, WAKE_WAIT).status, ReadStatus::Completed);
  EXPECT_EQ(driver.ReadCount(0), 5u);
}

TEST(SimRead, CancelWakesAWaitingRead) {
  SimDriver driver(OneStrip(), Manual());
  const device::Handle pipe = driver.Open(driver.DevicePath(0) + "\\PIPE00");  // never armed: nothing comes
  auto waiting = std::async(std::launch::async, [&] { return ReadOnce(driver, pipe, WAKE_WAIT).status; });
  AwaitPendingReads(driver, 1);
  driver.CancelRead(pipe);
  EXPECT_EQ(waiting.get(), ReadStatus::Cancelled);
  EXPECT_EQ(driver.PendingReadCount(), 0);
}

TEST(SimRead, CloseAndStopFailAWaitingRead) {
  SimDriver driver(OneStrip(), Manual());
  for (const bool stop : {false, true}) {
    const device::Handle pipe = driver.Open(driver.DevicePath(0) + "\\PIPE00");
    auto waiting = std::async(std::launch::async, [&] { return ReadOnce(driver, pipe, WAKE_WAIT).status; });
    AwaitPendingReads(driver, 1);
    if (stop) SendCode(driver, pipe, IOCTL_STRIP_STOP);
    else driver.Close(pipe);
    EXPECT_EQ(waiting.get(), ReadStatus::Failed) << stop;
  }
}

TEST(SimHandles, SeveralHandlesToOneStripAndPipeAtOnce) {
  SimDriver driver(OneStrip({LoadSpec::Heater(200.0)}), Manual());
  const device::Handle a = OpenArmedPipe(driver, 0);
  const device::Handle b = OpenArmedPipe(driver, 0);
  const device::Handle iface1 = driver.Open(driver.DevicePath(0));
  const device::Handle iface2 = driver.Open(driver.DevicePath(0));
  EXPECT_EQ(driver.OpenHandleCount(), 4);
  EXPECT_EQ(ReadOnce(driver, a).status, ReadStatus::Completed);
  EXPECT_EQ(ReadOnce(driver, b).status, ReadStatus::Completed);
  EXPECT_TRUE(Transfer(driver, iface1, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3).ok);
  EXPECT_TRUE(Transfer(driver, iface2, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3).ok);
  // Stopping one pipe handle leaves the other streaming.
  SendCode(driver, a, IOCTL_STRIP_STOP);
  EXPECT_EQ(ReadOnce(driver, a).status, ReadStatus::Failed);
  EXPECT_EQ(ReadOnce(driver, b).status, ReadStatus::Completed);
  for (device::Handle h : {a, b, iface1, iface2}) driver.Close(h);
  EXPECT_EQ(driver.OpenHandleCount(), 0);
}

TEST(SimHandles, RequestsOnOtherHandlesWhileAReadWaits) {
  Scenario scenario = OneStrip({LoadSpec::Heater(200.0)});
  scenario.strips[0].summaryIntervalMs = 1000;
  SimDriver driver(scenario, Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  ReadOnce(driver, pipe);
  auto waiting = std::async(std::launch::async, [&] { return ReadOnce(driver, pipe, WAKE_WAIT); });
  AwaitPendingReads(driver, 1);
  SelectQuantity(driver, 0, QUANTITY_POWER);
  EXPECT_EQ(Request(driver, 0, REQUEST_TYPE_IN, REQ_VOLTAGE, 0, 0, 1).bytes, std::vector<std::uint8_t>{100});
  driver.AdvanceClock(milliseconds(1000));
  const ReadOutcome outcome = waiting.get();
  EXPECT_EQ(outcome.status, ReadStatus::Completed);
  EXPECT_EQ(outcome.reading().readingKind, QUANTITY_POWER);
}

TEST(SimFaults, StallHoldsReadingsBackForItsDuration) {
  SimDriver driver(OneStrip(), Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  driver.Stall(0, milliseconds(500));
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
  driver.AdvanceClock(milliseconds(499));
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
  driver.AdvanceClock(milliseconds(1));
  EXPECT_EQ(ReadOnce(driver, pipe).status, ReadStatus::Completed);
  driver.Stall(0, milliseconds::max());  // as long as the driver allows: no overflow
  EXPECT_EQ(ReadOnce(driver, pipe, SHORT_WAIT).status, ReadStatus::TimedOut);
}

TEST(SimFaults, EveryNthWaveformPacketGetsACorruptedIndex) {
  Scenario scenario = OneStrip({LoadSpec::Heater(300.0)});
  scenario.strips[0].faults.corruptPacketEvery = 5;
  scenario.strips[0].faults.corruptPacketIndex = 0;
  SimDriver driver(scenario, Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  SelectOutlet(driver, 0, 1);
  for (int k = 1; k <= 40; ++k) {
    const Reading r = ReadOnce(driver, pipe).reading();
    const int position = (k - 1) % WAVEFORM_PACKETS + 1;
    EXPECT_EQ(r.packetIndex, k % 5 == 0 ? 0 : position) << k;
  }
  driver.SetPacketCorruption(0, 3, 33);
  for (int k = 1; k <= 6; ++k) {
    const Reading r = ReadOnce(driver, pipe).reading();
    EXPECT_EQ(r.packetIndex == 33, k % 3 == 0) << k;
    EXPECT_EQ(ClassifyReading(r, 0) == ReadingVerdict::Drop, k % 3 == 0);
  }
}

}  // namespace
}  // namespace kvx::sim::test
