#include "usb_records.h"

#include <cstdio>
#include <vector>

namespace kvx::usbemu {

namespace {

std::string Format(const char* format, auto... args) {
  char buffer[128] = {};
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

void Word(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

std::string DescriptorHex(const DeviceRecord& device) {
  std::vector<std::uint8_t> d;
  // Device: USB 2.0, class per interface, 64-byte endpoint 0, one configuration.
  d.insert(d.end(), {18, 0x01});
  Word(d, 0x0200);
  d.insert(d.end(), {0x00, 0x00, 0x00, 64});
  Word(d, device.id.vendor);
  Word(d, device.id.product);
  Word(d, 0x0100);
  d.insert(d.end(), {0, 0, 0, 1});
  // Configuration 1: 9 + 9 + 7 bytes, one interface, bus-powered, 100 mA.
  d.insert(d.end(), {9, 0x02});
  Word(d, 9 + 9 + 7);
  d.insert(d.end(), {1, 1, 0, 0x80, 50});
  // Interface 0: vendor-specific, one endpoint.
  d.insert(d.end(), {9, 0x04, 0, 0, 1, 0xFF, 0x00, 0x00, 0});
  // The IN data endpoint: bulk, or interrupt polled every millisecond.
  d.insert(d.end(), {7, 0x05, DATA_ENDPOINT, static_cast<std::uint8_t>(device.interruptEndpoint ? 0x03 : 0x02)});
  Word(d, DATA_PACKET_SIZE);
  d.push_back(device.interruptEndpoint ? 1 : 0);

  std::string hex;
  for (std::uint8_t b : d) hex += Format("%02x", unsigned{b});
  return hex;
}

std::string SysfsPath(const DeviceRecord& device) {
  return Format("/devices/usb%d/%d-%d", device.bus, device.bus, device.port);
}

std::string DevNode(const DeviceRecord& device) {
  return Format("/dev/bus/usb/%03d/%03d", device.bus, device.address);
}

// Attribute values end with a newline as sysfs files do: "\\n" in the format.
std::string UmockdevRecord(const DeviceRecord& device) {
  const std::string node = DevNode(device);
  std::string r;
  r += "P: " + SysfsPath(device) + "\n";
  r += "N: " + node.substr(5) + "\n";  // relative to /dev; this line creates the node
  r += "E: SUBSYSTEM=usb\n";
  r += "E: DEVTYPE=usb_device\n";
  r += "E: DEVNAME=" + node + "\n";
  r += Format("E: BUSNUM=%03d\n", device.bus);
  r += Format("E: DEVNUM=%03d\n", device.address);
  r += Format("E: PRODUCT=%x/%x/100\n", unsigned{device.id.vendor}, unsigned{device.id.product});
  r += Format("A: busnum=%d\\n\n", device.bus);
  r += Format("A: devnum=%d\\n\n", device.address);
  r += "A: speed=12\\n\n";
  r += Format("A: idVendor=%04x\\n\n", unsigned{device.id.vendor});
  r += Format("A: idProduct=%04x\\n\n", unsigned{device.id.product});
  r += "A: bConfigurationValue=1\\n\n";
  r += "A: bNumConfigurations=1\\n\n";
  r += Format("A: dev=189:%d\\n\n", (device.bus - 1) * 128 + device.address - 1);
  r += "H: descriptors=" + DescriptorHex(device) + "\n";
  return r;
}

}  // namespace kvx::usbemu
