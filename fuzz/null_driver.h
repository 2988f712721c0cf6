// A driver with no strips, for the fuzz targets that need an AppState but
// never talk to a device: every call fails or finds nothing.
#pragma once

#include "device/driver.h"

namespace kvx::fuzz {

class NullDriver final : public device::Driver {
 public:
  std::unique_ptr<device::InterfaceSet> GetClassDevs(std::string_view) override { return nullptr; }
  device::Handle Open(const std::string&) override { return device::INVALID_HANDLE_VALUE; }
  using device::Driver::Control;
  device::ControlStatus Control(device::Handle, std::uint32_t, std::span<const std::uint8_t>, std::span<std::uint8_t>,
                                std::uint32_t& bytesReturned, std::chrono::milliseconds) override {
    bytesReturned = 0;
    return device::ControlStatus::Gone;
  }
  device::ReadResult Read(device::Handle, std::span<std::uint8_t>, std::chrono::milliseconds) override {
    return {device::ReadStatus::Failed, 0};
  }
  void CancelRead(device::Handle) override {}
  void Close(device::Handle) override {}
  SubscriptionId Subscribe(std::string_view, EventCallback) override { return 0; }
  void Unsubscribe(SubscriptionId) override {}
};

}  // namespace kvx::fuzz
