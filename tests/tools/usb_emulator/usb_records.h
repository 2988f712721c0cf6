// How one emulated strip looks on the emulated bus: its USB descriptors and
// the umockdev device record (sysfs attributes, udev properties, /dev node).
// Pure text building; nothing here touches umockdev.
#pragma once

#include <cstdint>
#include <string>

namespace kvx::usbemu {

struct UsbId {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
};

// The IDs that strips of the two interface classes get on the emulated bus
// (the open test range of vendor 1209).
inline constexpr UsbId PRIMARY_TEST_ID{0x1209, 0x0001};
inline constexpr UsbId FALLBACK_TEST_ID{0x1209, 0x0002};

// The data endpoint every emulated strip offers on interface 0.
inline constexpr std::uint8_t DATA_ENDPOINT = 0x81;
inline constexpr std::uint16_t DATA_PACKET_SIZE = 64;

struct DeviceRecord {
  UsbId id;
  int bus = 1;
  int port = 1;       // on the root hub: the sysfs name is "<bus>-<port>"
  int address = 2;    // the device number; a replug gets a new one
  bool interruptEndpoint = false;  // bulk otherwise
};

// Device descriptor, then the configuration with one vendor-specific
// interface holding the IN data endpoint; lower-case hex without blanks.
std::string DescriptorHex(const DeviceRecord& device);

std::string SysfsPath(const DeviceRecord& device);  // "/devices/usb1/1-3"
std::string DevNode(const DeviceRecord& device);    // "/dev/bus/usb/001/004"

// The record in umockdev's text format ("P:", "N:", "E:", "A:", "H:" lines).
std::string UmockdevRecord(const DeviceRecord& device);

}  // namespace kvx::usbemu
