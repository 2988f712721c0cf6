// Interface paths of strips on USB. A path names the strip's IDs and where
// it is plugged in (bus and the chain of port numbers), not its device
// address: it stays the same across a replug into the same port, so the
// client finds "its" strip again.
//   "usb#1209:0001#1-4.2"  = vendor 1209, product 0001, bus 1, port 4, port 2 of that hub
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "device/usb/usb_options.h"

namespace kvx::usb {

struct PortPath {
  UsbId id;
  std::uint8_t bus = 0;
  std::string ports;  // "4.2"
  bool operator==(const PortPath&) const = default;
};

std::string FormatPath(const UsbId& id, std::uint8_t bus, std::span<const std::uint8_t> ports);
std::string FormatPath(const PortPath& path);
std::optional<PortPath> ParsePath(std::string_view path);

// Splits "path\PIPE00" into the interface path and whether the pipe is meant.
struct OpenTarget {
  std::string path;
  bool pipe = false;
};
OpenTarget SplitPipe(std::string_view path);

}  // namespace kvx::usb
