// What the USB backend needs to be told: the strips' USB IDs for each
// interface class, the data endpoint when its descriptor is not to be
// trusted, and the strip's unlock code when the user knows it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/driver.h"

namespace kvx::usb {

struct UsbId {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  bool operator==(const UsbId&) const = default;
};

struct UsbOptions {
  std::vector<UsbId> primaryIds;   // strips published under the primary interface class
  std::vector<UsbId> fallbackIds;  // ... and under the fallback class
  // The IN endpoint streaming the readings; unset = the first IN endpoint of
  // interface 0 (bulk or interrupt, as its descriptor says).
  std::optional<std::uint8_t> endpoint;
  // The strip's REQ_UNLOCK access code; unset = not known, and then the
  // reset sequence is not sent (UsbDriver::UnlockCode).
  std::optional<device::AccessCode> unlockCode;
};

// "VID:PID" in hex (1 to 4 digits each), as lsusb prints it.
std::optional<UsbId> ParseUsbId(std::string_view text);
// "0xNN" or "NN" in hex: an IN endpoint address (bit 7 set).
std::optional<std::uint8_t> ParseEndpoint(std::string_view text);
// "WORD1:WORD2" in hex.
std::optional<device::AccessCode> ParseUnlockCode(std::string_view text);

// The backend over libusb-1.0. Null with a message when libusb cannot be
// initialised or the options name no ID at all.
std::unique_ptr<device::Driver> MakeUsbDriver(const UsbOptions& options, std::string& error);

}  // namespace kvx::usb
