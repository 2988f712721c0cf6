// The USB backend over the real libusb, with the strips of usb_scenario.json
// played by kvx-usb-emulator (so the binary runs only under it: without the
// umockdev preload it exits 77, which CTest counts as skipped).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/driver.h"
#include "device/protocol.h"
#include "device/usb/usb_options.h"

namespace kvx::usb::testing {

inline constexpr std::uint32_t KITCHEN = 0x1A2B3;   // primary class, port 1
inline constexpr std::uint32_t OFFICE = 0x2C4D5;    // fallback class, port 2
inline constexpr std::uint32_t VISITOR = 0x3E6F7;   // primary, plugged in and out by the timeline, port 3
inline constexpr std::uint32_t OWN_IDS = 0x4A5B6;   // IDs abcd:0042 from the scenario, port 4
inline constexpr UsbId PRIMARY{0x1209, 0x0001};
inline constexpr UsbId FALLBACK{0x1209, 0x0002};

// A generous bound for anything that should happen at once: only a fault
// makes a test wait this long.
inline constexpr std::chrono::seconds PATIENCE{20};

// Arrival and removal news, collected from the driver's thread.
class EventLog {
 public:
  void Add(const device::DeviceEvent& event);
  // Waits for an event of that type and path (any path when empty) that was
  // not taken before; nullopt when none came within PATIENCE.
  std::optional<device::DeviceEvent> Take(device::DeviceEventType type, const std::string& path = {});
  std::size_t Count();  // events not taken

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<device::DeviceEvent> events_;
};

class UsbBackendTest : public ::testing::Test {
 protected:
  void SetUp() override;

  std::vector<std::string> Paths(std::string_view classGuid);
  // The serial number a strip answers on an interface handle, or nullopt.
  std::optional<std::uint32_t> SerialAt(const std::string& path);
  // Asks an IN vendor request on `handle`; the reply bytes, nullopt on failure.
  std::optional<std::vector<std::uint8_t>> RequestIn(device::Handle handle, std::uint8_t request,
                                                     std::uint16_t value, std::uint16_t index, std::uint16_t length);
  // A pipe handle with the stream started.
  device::Handle StartedPipe(const std::string& path);
  std::string PathOf(std::uint32_t serial, std::string_view classGuid);

  std::unique_ptr<device::Driver> driver_;
};

}  // namespace kvx::usb::testing
