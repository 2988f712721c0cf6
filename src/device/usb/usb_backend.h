// Real strips over USB as a backend (--driver=usb): its options --usb-id and
// --usb-fallback-id (repeatable), --usb-endpoint and --unlock-code, and the
// UsbDriver built from them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/backend.h"
#include "device/usb/usb_options.h"

namespace kvx::usb {

device::Backend UsbBackend();

// The options as the backend's arguments give them; false with `error`
// naming the option, the value and the form expected when a value is
// unusable or no ID is given at all.
bool ParseUsbArguments(const std::vector<device::BackendArgument>& arguments, UsbOptions& options,
                       std::string& error);

}  // namespace kvx::usb
