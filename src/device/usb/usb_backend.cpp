#include "device/usb/usb_backend.h"

#include <algorithm>

namespace kvx::usb {

namespace {

constexpr std::string_view kUsbId = "--usb-id";
constexpr std::string_view kFallbackId = "--usb-fallback-id";
constexpr std::string_view kEndpoint = "--usb-endpoint";
constexpr std::string_view kUnlockCode = "--unlock-code";

std::string Refused(const device::BackendArgument& argument, std::string_view expected) {
  return argument.name + "=" + argument.value + ": expected " + std::string(expected);
}

// Adds the ID once: a repeated one would not find a strip twice anyway.
bool AddId(const device::BackendArgument& argument, std::vector<UsbId>& ids, std::string& error) {
  const std::optional<UsbId> id = ParseUsbId(argument.value);
  if (!id) {
    error = Refused(argument, "VID:PID, two hexadecimal numbers of up to 4 digits as lsusb shows them (e.g. " +
                                  argument.name + "=1209:0001)");
    return false;
  }
  if (std::find(ids.begin(), ids.end(), *id) == ids.end()) ids.push_back(*id);
  return true;
}

std::unique_ptr<device::Driver> CreateUsbDriver(const std::vector<device::BackendArgument>& arguments,
                                                std::string& error) {
  UsbOptions options;
  if (!ParseUsbArguments(arguments, options, error)) return nullptr;
  return MakeUsbDriver(options, error);
}

}  // namespace

bool ParseUsbArguments(const std::vector<device::BackendArgument>& arguments, UsbOptions& options,
                       std::string& error) {
  for (const device::BackendArgument& argument : arguments) {
    if (argument.name == kUsbId && !AddId(argument, options.primaryIds, error)) return false;
    if (argument.name == kFallbackId && !AddId(argument, options.fallbackIds, error)) return false;
    if (argument.name == kEndpoint) {  // as with every single-valued option, the last counts
      options.endpoint = ParseEndpoint(argument.value);
      if (!options.endpoint) {
        error = Refused(argument, "the address of an IN endpoint in hex, 0x81 to 0x8F (e.g. --usb-endpoint=0x81)");
        return false;
      }
    }
    if (argument.name == kUnlockCode) {
      options.unlockCode = ParseUnlockCode(argument.value);
      if (!options.unlockCode) {
        error = Refused(argument, "WORD1:WORD2, two hexadecimal numbers of up to 4 digits (e.g. --unlock-code=12AB:34CD)");
        return false;
      }
    }
  }
  if (options.primaryIds.empty() && options.fallbackIds.empty()) {
    error = "--driver=usb needs the strips' USB IDs: --usb-id=VID:PID (repeatable; lsusb shows them)";
    return false;
  }
  return true;
}

device::Backend UsbBackend() {
  return device::Backend{
      "usb",
      "real strips over USB (no default IDs: give --usb-id)",
      {
          {kUsbId, "VID:PID", "USB vendor and product ID of the strips (repeatable)"},
          {kFallbackId, "VID:PID", "IDs of strips under the fallback interface class (repeatable)"},
          {kEndpoint, "ADDR", "the IN endpoint that carries the readings (default: the first)"},
          {kUnlockCode, "W1:W2", "the strip's unlock code; without it flagged records are not reset"},
      },
      CreateUsbDriver,
  };
}

}  // namespace kvx::usb
