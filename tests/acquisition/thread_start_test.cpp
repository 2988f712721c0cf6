// Thread start, the command-line strip and its start-up actions, and the
// request sequence of one connection.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "acquisition/control_ids.h"
#include "thread_fixture.h"

namespace kvx::test {
namespace {

using namespace kvx::protocol;
using Strings = std::vector<std::string>;

TEST_F(ThreadTest, ThreadStartFillsTheTreeRegistersAndSetsTheStartValues) {
  AddStrip(STRIP_B);
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 1};
  state.selectedOutlet.store(3);
  // Run flags cleared: the thread procedure performs its start steps and returns.
  EXPECT_EQ(thread.ThreadProc(), 0);

  EXPECT_EQ(window.Events(), (Strings{"AddStripToTree S/N=007FF 1", "AddStripToTree S/N=12ABC 2",
                                      "RegisterInterfaceNotifications"}));
  EXPECT_EQ(recorder.StartTicks(), std::vector<std::uint32_t>{1000});
  EXPECT_EQ(state.device.deviceCount(), 2);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(STRIP_A));
  EXPECT_EQ(state.selectedOutlet.load(), 0);
  EXPECT_EQ(state.selectedQuantity.load(), QUANTITY_POWER);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(state.measurement.outletMin[k].load(), 60000.0);
    EXPECT_EQ(state.measurement.outletMax[k].load(), 0.0);
  }
  EXPECT_EQ(driver.Calls().size(), 2u);  // the two serial-number requests of the enumeration
}

TEST_F(ThreadTest, CommandSerialOfAPresentStripIsOpenedWithTheStartupActions) {
  AddStrip(STRIP_A);
  // Command line "7FF 10 3600 2 1": logMode 2 is pending (+100), power at start.
  state.startup = StartupValues{STRIP_A, {10, 3600, 102}, 1};
  StartThread();
  ASSERT_TRUE(WaitConnected());

  EXPECT_EQ(window.Events(),
            (Strings{"AddStripToTree S/N=007FF 1", "RegisterInterfaceNotifications", "ClickDeviceTree"}));
  EXPECT_EQ(state.startup.log.logMode.load(), 2);
  EXPECT_TRUE(state.controls.IsChecked(ids::LOG_CHECK));
  EXPECT_FALSE(state.controls.IsChecked(ids::CALC_CURRENT_RADIO));
  EXPECT_TRUE(state.controls.IsChecked(ids::CALC_POWER_RADIO));
  EXPECT_EQ(state.controls.GetText(ids::FIRMWARE_VALUE), "V2.0L10");
  EXPECT_EQ(state.controls.GetText(ids::SERIAL_VALUE), "007FF");
  const auto identities = recorder.Identities();
  ASSERT_EQ(identities.size(), 1u);
  EXPECT_EQ(identities[0].connectionSerial, STRIP_A);
  EXPECT_EQ(identities[0].serialText, "0007FF");
  EXPECT_EQ(identities[0].firmwareText, "V2.0L10");
  EXPECT_EQ(thread.Status().connectionSerial, STRIP_A);
  ASSERT_TRUE(WaitFor([&] { return HasCall(STRIP_A, "OUT 20 0010 0000"); }));  // power sent before the first read
}

TEST_F(ThreadTest, CommandSerialOfAnAbsentStripIdlesUntilTheUserSelectsOne) {
  AddStrip(STRIP_A);
  // A command line naming another strip, logging mode 1 and current.
  state.startup = StartupValues{0x123, {1, 1, 101}, 0};
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return state.selection.serial() == 0; }));
  ASSERT_TRUE(WaitFor([&] { return thread.Status().state == ConnectionState::Idle; }));
  EXPECT_TRUE(PipeCalls(STRIP_A).empty());
  EXPECT_EQ(state.startup.log.logMode.load(), 101);  // still pending: no strip was opened

  state.selection.Set(STRIP_A);  // the tree selection
  ASSERT_TRUE(WaitConnected());
  EXPECT_EQ(state.startup.log.logMode.load(), 1);
  EXPECT_EQ(window.Events().back(), "ClickDeviceTree");
  EXPECT_TRUE(state.controls.IsChecked(ids::LOG_CHECK));
  EXPECT_TRUE(state.controls.IsChecked(ids::CALC_CURRENT_RADIO));
  EXPECT_FALSE(state.controls.IsChecked(ids::CALC_POWER_RADIO));
}

TEST_F(ThreadTest, StartupActionsOfAnEmptyLogModeOnlyClickTheTree) {
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {0, 0, 100}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  EXPECT_EQ(state.startup.log.logMode.load(), 0);
  EXPECT_EQ(window.Events().back(), "ClickDeviceTree");
  EXPECT_FALSE(state.controls.IsChecked(ids::LOG_CHECK));
  EXPECT_FALSE(state.controls.IsChecked(ids::CALC_CURRENT_RADIO));
}

TEST_F(ThreadTest, ConnectionSendsItsRequestsInOrder) {
  AddStrip(STRIP_A);
  // Outlet 2's record is flagged on the first read: reset sequence, one repeated read.
  auto outlet2Reads = std::make_shared<std::atomic<int>>(0);
  driver.SetReply([outlet2Reads](std::uint32_t serial, const SetupFields& s) -> std::optional<std::vector<std::uint8_t>> {
    if (s.bRequest == REQ_READ_MEMORY && s.wValue == 0x0300 && s.wIndex == CalibrationRecordOffset(2)) {
      if ((*outlet2Reads)++ == 0) return std::vector<std::uint8_t>{0, 0, 0, 0, 0, 1, 0, 0};
      return std::vector<std::uint8_t>(8, 0);
    }
    return ScriptedDriver::DefaultReply(serial, s);
  });
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  thread.Stop();

  EXPECT_EQ(PipeCalls(STRIP_A), (Strings{
                                    "IN C0 0000 0000",  // firmware
                                    "IN C1 0000 0000",  // serial
                                    "IN A2 0080 0078",  // page selector
                                    "IN A2 0300 001E", "IN A2 0300 0026",  // outlet 1
                                    "IN A2 0300 002C",                     // outlet 2, flagged
                                    "OUT 15 4B56 5843", "OUT 05 0300 0000", "OUT 06 0230 0000", "OUT 07 0300 0000",
                                    "OUT 09 0000 0000",
                                    "IN A2 0300 002C", "IN A2 0300 0034",  // outlet 2 again
                                    "IN A2 0300 003A", "IN A2 0300 0042",  // outlet 3
                                    "IN A2 0300 0048", "IN A2 0300 0050",  // outlet 4
                                    "SET_EVENT",
                                    "OUT 01 0000 0000",  // selections before the first read
                                    "OUT 20 0030 0000",
                                    "IN B0 0000 0000", "IN A1 0000 0000", "IN B4 0000 0000",  // first reading
                                    "STOP",
                                }));
  // SET_EVENT carries the thread's event token; STOP goes on the same long-lived pipe.
  for (const ControlCall& call : driver.Calls()) {
    if (call.code == IOCTL_STRIP_SET_EVENT) {
      ASSERT_EQ(call.input.size(), 4u);
      EXPECT_NE(call.input, std::vector<std::uint8_t>(4, 0));
    }
  }
  EXPECT_EQ(driver.OpenHandles(), 0);
  // The files close with their reasons: the first selections sent, then the connection's end.
  EXPECT_EQ(recorder.Events(), (Strings{"StartTimers", "Identity 0007FF", "ConnectionStarted", "Close outlet_changed",
                                        "Close quantity_changed", "ConnectionEnded stop", "Close connection_ended"}));
  EXPECT_EQ(thread.Status().readingsDiscarded, 1u);  // the first reading after the quantity was sent
  EXPECT_FALSE(thread.Running());
}

// Listeners hear every event in the order they were added; one that throws is
// dropped and said once, and the others and the thread go on.
TEST_F(ThreadTest, ListenersHearEventsInOrderAndOneThatThrowsIsDropped) {
  struct Counting : AcquisitionListener {  // the whole of a new listener
    explicit Counting(const RecordingRecorder& first) : first(first) {}
    const RecordingRecorder& first;
    std::atomic<int> readings{0};
    std::atomic<int> beforeTheFirst{0};  // heard before the listener added first
    void OnSummaryReading(const SummaryReadingEvent&) override {
      if (first.Readings().size() != static_cast<std::size_t>(++readings)) ++beforeTheFirst;
    }
  };
  struct Throwing : AcquisitionListener {
    std::atomic<int> calls{0};
    void OnSummaryReading(const SummaryReadingEvent&) override {
      ++calls;
      throw std::runtime_error("disk full");
    }
  };
  Throwing throwing;
  Counting counting(recorder);  // the fixture added the recorder first
  thread.AddListener(throwing);
  thread.AddListener(counting);
  std::mutex noticeMutex;
  Strings notices;
  state.device.SetNoticeSink([&](const std::string& line) {
    std::lock_guard lock(noticeMutex);
    notices.push_back(line);
  });
  AddStrip(STRIP_A);
  state.startup = StartupValues{STRIP_A, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Feed(STRIP_A, SummaryReading(100)));
  thread.Stop();
  EXPECT_EQ(throwing.calls.load(), 1);
  EXPECT_EQ(counting.readings.load(), static_cast<int>(recorder.Readings().size()));
  EXPECT_GE(counting.readings.load(), 3);  // the first reading after the selections is discarded
  EXPECT_EQ(counting.beforeTheFirst.load(), 0);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("disk full"), std::string::npos) << notices[0];
}

TEST_F(ThreadTest, StopIsIdempotentAndTheThreadCanStartAgain) {
  thread.Stop();  // never started
  StartThread();
  EXPECT_FALSE(thread.Start());  // already running
  thread.Stop();
  thread.Stop();
  EXPECT_FALSE(thread.Running());
  EXPECT_EQ(state.threadRunFlag.load(), 0);
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return recorder.StartTicks().size() == 2; }));
}

// A strip that does not give its serial number at connection start is still
// the strip that was opened: the label shows what came back, but the files
// are named and headed with the serial the strip was listed with, and each
// such connection is counted so that it can be said.
TEST_F(ThreadTest, FailedOrShortSerialRequestNamesTheFilesByTheListedSerial) {
  AddStrip(STRIP_B);
  std::atomic<int> serialRequests{0};
  std::atomic<bool> shortReply{false};
  driver.SetReply([&](std::uint32_t serial,
                      const protocol::SetupFields& setup) -> std::optional<std::vector<std::uint8_t>> {
    // The first one is the enumeration's; the following ones open connections.
    if (setup.bRequest == protocol::REQ_SERIAL_NUMBER && ++serialRequests > 1) {
      if (shortReply.load()) return std::vector<std::uint8_t>{0x01};
      return std::nullopt;
    }
    return ScriptedDriver::DefaultReply(serial, setup);
  });
  state.startup = StartupValues{STRIP_B, {1, 1, 0}, 0};
  StartThread();
  ASSERT_TRUE(WaitConnected());
  EXPECT_EQ(state.controls.GetText(ids::SERIAL_VALUE), "00000");
  ASSERT_EQ(recorder.Identities().size(), 1u);
  EXPECT_EQ(recorder.Identities()[0].connectionSerial, STRIP_B);
  EXPECT_EQ(recorder.Identities()[0].serialText, "012ABC");
  EXPECT_EQ(thread.Status().connectionSerial, STRIP_B);
  EXPECT_EQ(thread.Status().serialRequestFailures, 1u);

  // One byte of three: not the strip's serial either.
  shortReply = true;
  driver.QueueRead(STRIP_B, ScriptedRead::Failure());
  ASSERT_TRUE(WaitConnected(2));
  EXPECT_EQ(state.controls.GetText(ids::SERIAL_VALUE), "10000");
  ASSERT_EQ(recorder.Identities().size(), 2u);
  EXPECT_EQ(recorder.Identities()[1].connectionSerial, STRIP_B);
  EXPECT_EQ(thread.Status().serialRequestFailures, 2u);
}

}  // namespace
}  // namespace kvx::test
