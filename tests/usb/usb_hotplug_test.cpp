// Arrival and removal over libusb hotplug, driven by the scenario's timeline:
// the visitor strip arrives in port 3 at 4 s, leaves at 8 s, is back at 9 s.
// Run in a process of its own, started with the emulator.
#include <thread>

#include "usb_fixture.h"

namespace kvx::usb::testing {
namespace {

using namespace kvx::protocol;
using device::DeviceEventType;
using device::ReadStatus;

constexpr char VISITOR_PATH[] = "usb#1209:0001#1-3";

using UsbHotplugTest = UsbBackendTest;

TEST_F(UsbHotplugTest, AStripArrivesStreamsIsUnpluggedAndReturnsUnderTheSamePath) {
  EventLog primary;
  EventLog fallback;
  const auto primaryId = driver_->Subscribe(device::primaryInterfaceGuid, [&](const auto& e) { primary.Add(e); });
  const auto fallbackId = driver_->Subscribe(device::fallbackInterfaceGuid, [&](const auto& e) { fallback.Add(e); });
  ASSERT_EQ(Paths(device::primaryInterfaceGuid).size(), 1u) << "the visitor is not there yet";

  const auto arrival = primary.Take(DeviceEventType::Arrival);
  ASSERT_TRUE(arrival) << "no arrival";
  EXPECT_EQ(arrival->path, VISITOR_PATH);
  EXPECT_EQ(arrival->classGuid, device::primaryInterfaceGuid);
  EXPECT_EQ(SerialAt(VISITOR_PATH), VISITOR);

  const device::Handle pipe = StartedPipe(VISITOR_PATH);
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  // Readings until the strip leaves: then the waiting read fails at once,
  // well before its own time-out.
  ReadStatus last = ReadStatus::Completed;
  int readings = 0;
  while (last == ReadStatus::Completed) {
    ReadingBytes bytes{};
    last = driver_->Read(pipe, bytes, PATIENCE).status;
    readings += last == ReadStatus::Completed;
  }
  EXPECT_EQ(last, ReadStatus::Failed);
  EXPECT_GT(readings, 0);

  const auto removal = primary.Take(DeviceEventType::RemoveComplete, VISITOR_PATH);
  ASSERT_TRUE(removal) << "no removal";
  std::uint32_t returned = 0;
  const SetupPacket packet = BuildSetupPacket(REQUEST_TYPE_IN, REQ_VOLTAGE, 0, 0, VOLTAGE_LENGTH);
  std::uint8_t reply[8] = {};
  EXPECT_FALSE(driver_->Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, packet, reply, returned));

  const auto back = primary.Take(DeviceEventType::Arrival, VISITOR_PATH);
  ASSERT_TRUE(back) << "the replug was not announced under the same path";
  EXPECT_EQ(SerialAt(VISITOR_PATH), VISITOR);
  ReadingBytes bytes{};
  EXPECT_EQ(driver_->Read(pipe, bytes, PATIENCE).status, ReadStatus::Failed) << "a handle of before the removal stays dead";
  driver_->Close(pipe);

  driver_->Unsubscribe(primaryId);
  driver_->Unsubscribe(fallbackId);
  EXPECT_EQ(fallback.Count(), 0u) << "news of the primary class only";
}

}  // namespace
}  // namespace kvx::usb::testing
