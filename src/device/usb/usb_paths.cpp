#include "device/usb/usb_paths.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "device/driver.h"
#include "device/protocol.h"

namespace kvx::usb {

using device::EqualsNoCase;

namespace {

constexpr std::string_view PREFIX = "usb#";

bool ValidPorts(std::string_view ports) {
  if (ports.empty() || ports.front() == '.' || ports.back() == '.') return false;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const char c = ports[i];
    if (c == '.' ? ports[i - 1] == '.' : !std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

std::string FormatPath(const UsbId& id, std::uint8_t bus, std::span<const std::uint8_t> ports) {
  PortPath path{id, bus, {}};
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) path.ports += '.';
    path.ports += std::to_string(ports[i]);
  }
  return FormatPath(path);
}

std::string FormatPath(const PortPath& path) {
  char head[32];
  std::snprintf(head, sizeof head, "%04x:%04x#%u-", unsigned{path.id.vendor}, unsigned{path.id.product},
                unsigned{path.bus});
  return std::string(PREFIX) + head + path.ports;
}

std::optional<PortPath> ParsePath(std::string_view text) {
  if (!text.starts_with(PREFIX)) return std::nullopt;
  text.remove_prefix(PREFIX.size());
  const std::size_t hash = text.find('#');
  const std::size_t dash = text.find('-', hash == std::string_view::npos ? 0 : hash);
  if (hash == std::string_view::npos || dash == std::string_view::npos) return std::nullopt;
  const std::optional<UsbId> id = ParseUsbId(text.substr(0, hash));
  const std::string_view bus = text.substr(hash + 1, dash - hash - 1);
  unsigned busNumber = 0;
  const auto [end, ec] = std::from_chars(bus.data(), bus.data() + bus.size(), busNumber);
  if (!id || bus.empty() || ec != std::errc() || end != bus.data() + bus.size() || busNumber > 255) return std::nullopt;
  const std::string_view ports = text.substr(dash + 1);
  if (!ValidPorts(ports)) return std::nullopt;
  return PortPath{*id, static_cast<std::uint8_t>(busNumber), std::string(ports)};
}

OpenTarget SplitPipe(std::string_view path) {
  const std::string suffix = std::string(1, device::PIPE_SEPARATOR) + protocol::PIPE_NAME;
  if (path.size() > suffix.size() && EqualsNoCase(path.substr(path.size() - suffix.size()), suffix))
    return {std::string(path.substr(0, path.size() - suffix.size())), true};
  return {std::string(path), false};
}

}  // namespace kvx::usb
