#include "device/usb/usb_options.h"

#include <charconv>

namespace kvx::usb {

namespace {

std::optional<std::uint16_t> HexWord(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> HexPair(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto first = HexWord(text.substr(0, colon));
  const auto second = HexWord(text.substr(colon + 1));
  if (!first || !second) return std::nullopt;
  return std::pair{*first, *second};
}

}  // namespace

std::optional<UsbId> ParseUsbId(std::string_view text) {
  const auto pair = HexPair(text);
  if (!pair) return std::nullopt;
  return UsbId{pair->first, pair->second};
}

std::optional<std::uint8_t> ParseEndpoint(std::string_view text) {
  const auto value = HexWord(text);
  if (!value || *value < 0x81 || *value > 0x8F) return std::nullopt;  // IN endpoints 1..15
  return static_cast<std::uint8_t>(*value);
}

std::optional<device::AccessCode> ParseUnlockCode(std::string_view text) {
  const auto pair = HexPair(text);
  if (!pair) return std::nullopt;
  return device::AccessCode{pair->first, pair->second};
}

}  // namespace kvx::usb
