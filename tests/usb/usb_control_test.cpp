// Control calls over the USB backend beyond the contract's cases: a strip
// that does not answer holds its own caller only. (The calls once waited
// inside libusb holding the gate every libusb call passes, so one silent
// strip held every other strip's requests, reads and closes for its time-out.)
#include <gtest/gtest.h>

#include <future>

#include "usb_conformance_drivers.h"

namespace kvx::test {
namespace {

using namespace std::chrono_literals;
using namespace kvx::protocol;
using device::ControlStatus;

constexpr auto LONG = 20s;

ControlStatus Ask(device::Driver& driver, device::Handle handle, std::uint8_t request, std::uint16_t length,
                  std::chrono::milliseconds timeout) {
  const SetupPacket setup = BuildSetupPacket(REQUEST_TYPE_IN, request, 0, 0, length);
  std::array<std::uint8_t, 8> out{};
  std::uint32_t returned = 0;
  return driver.Control(handle, IOCTL_STRIP_CONTROL_TRANSFER, setup, out, returned, timeout);
}

bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + LONG;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(UsbControlTest, ASilentStripHoldsOnlyItsOwnRequest) {
  UsbTraits traits;
  device::Driver& driver = traits.driver();
  traits.DelayReply(0, REQ_FIRMWARE_VERSION, std::nullopt);
  const device::Handle silent = driver.Open(traits.Path(0));
  const device::Handle other = driver.Open(traits.Path(1));
  const device::Handle otherPipe = driver.Open(traits.Path(1) + device::PIPE_SEPARATOR + PIPE_NAME);
  auto held = std::async(std::launch::async, [&] { return Ask(driver, silent, REQ_FIRMWARE_VERSION, 8, LONG); });
  ASSERT_TRUE(Eventually([&] { return traits.PendingControls() == 1; }));

  // The other strip answers, arms its pipe and streams while the silent one is asked.
  EXPECT_EQ(Ask(driver, other, REQ_SERIAL_NUMBER, SERIAL_NUMBER_LENGTH, LONG), ControlStatus::Ok);
  const std::array<std::uint8_t, 4> event{0x34, 0x12, 0, 0};
  std::uint32_t returned = 0;
  EXPECT_TRUE(driver.Control(otherPipe, IOCTL_STRIP_SET_EVENT, event, {}, returned));
  traits.OfferReading(1);
  ReadingBytes reading{};
  EXPECT_EQ(driver.Read(otherPipe, reading, LONG).status, device::ReadStatus::Completed);
  driver.Close(otherPipe);
  driver.Close(other);
  EXPECT_EQ(traits.PendingControls(), 1) << "the silent strip's request was over before the other strip was served";

  driver.Close(silent);  // ends the held call at once
  EXPECT_EQ(held.get(), ControlStatus::Gone);
  EXPECT_EQ(traits.PendingControls(), 0);
}

}  // namespace
}  // namespace kvx::test
