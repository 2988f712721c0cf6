// Shared helpers of the device tests: a scripted driver with strips and the
// DeviceAccess on top of it, and small views of what the driver saw.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "device/device_access.h"
#include "support/scripted_driver.h"

namespace kvx::test {

// A strip with a made-up interface path derived from its serial number.
inline ScriptedStrip StripWithSerial(std::uint32_t serial,
                                     std::string classGuid = std::string(device::primaryInterfaceGuid)) {
  char path[64];
  std::snprintf(path, sizeof path, "\\\\?\\usb#vid_0d8c&pid_0320#%06X", serial);
  ScriptedStrip strip;
  strip.serial = serial;
  strip.path = path;
  strip.classGuid = std::move(classGuid);
  return strip;
}

// The strips are enumerated in the order given.
struct StripRig {
  explicit StripRig(std::vector<ScriptedStrip> strips = {}) {
    for (auto& strip : strips) driver.AddStrip(strip);
  }
  // Builds the list and chooses the strip the requests go to (0 = none).
  void Connect(std::uint32_t serial) {
    device.RebuildDeviceList();
    selected = static_cast<std::int32_t>(serial);
  }

  ScriptedDriver driver;
  device::DeviceAccess device{driver};
  std::int32_t selected = 0;  // the strip the requests go to
};

// Whether another thread could take the lock at this moment.
inline bool LockIsFree(std::recursive_mutex& lock) {
  bool free = false;
  std::thread([&] {
    if (lock.try_lock()) {
      free = true;
      lock.unlock();
    }
  }).join();
  return free;
}

// The setup packets of the control transfers the driver saw, in order.
inline std::vector<protocol::SetupFields> Transfers(const ScriptedDriver& driver) {
  std::vector<protocol::SetupFields> setups;
  for (const ControlCall& call : driver.Calls())
    if (call.code == protocol::IOCTL_STRIP_CONTROL_TRANSFER) setups.push_back(call.setup);
  return setups;
}

inline protocol::SetupFields In(std::uint8_t request, std::uint16_t value, std::uint16_t index, std::uint16_t length) {
  return {protocol::REQUEST_TYPE_IN, request, value, index, length};
}
inline protocol::SetupFields Out(std::uint8_t request, std::uint16_t value, std::uint16_t index = 0) {
  return {protocol::REQUEST_TYPE_OUT, request, value, index, 0};
}

}  // namespace kvx::test

namespace kvx::protocol {
// Readable failure messages for setup packets.
inline void PrintTo(const SetupFields& s, std::ostream* os) {
  char text[64];
  std::snprintf(text, sizeof text, "{%02X %02X wValue=%04X wIndex=%04X wLength=%u}", unsigned{s.bmRequestType},
                unsigned{s.bRequest}, unsigned{s.wValue}, unsigned{s.wIndex}, unsigned{s.wLength});
  *os << text;
}
}  // namespace kvx::protocol
