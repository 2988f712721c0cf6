// A Driver decorator for tests of where and when device I/O runs: it passes
// every call to the driver it wraps, remembers which threads enumerated,
// opened or sent control calls, and can hold every enumeration at a gate
// until the test opens it, as a strip that answers slowly would.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "device/driver.h"

namespace kvx::test {

class GatedDriver final : public device::Driver {
 public:
  explicit GatedDriver(device::Driver& inner) : inner_(inner) {}

  // While closed, GetClassDevs waits until Open() or, so that a fault under
  // test fails instead of hanging, until ten seconds have passed.
  void Close();
  void Open();
  // Waits (up to ten seconds) until an enumeration is held at the closed gate.
  bool WaitUntilHeld();
  // Whether an enumeration is held at the gate now.
  bool Held() const;
  // GetClassDevs calls so far, held or not.
  int Enumerations() const;
  // Whether `thread` made any GetClassDevs, Open or Control call.
  bool DeviceIoOn(std::thread::id thread) const;

  // device::Driver
  std::unique_ptr<device::InterfaceSet> GetClassDevs(std::string_view classGuid) override;
  device::Handle Open(const std::string& path) override;
  using device::Driver::Control;
  device::ControlStatus Control(device::Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                                std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                                std::chrono::milliseconds timeout) override;
  device::ReadResult Read(device::Handle handle, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override {
    return inner_.Read(handle, buffer, timeout);
  }
  void CancelRead(device::Handle handle) override { inner_.CancelRead(handle); }
  void CancelControl(device::Handle handle) override { inner_.CancelControl(handle); }
  void Close(device::Handle handle) override { inner_.Close(handle); }
  SubscriptionId Subscribe(std::string_view classGuid, EventCallback callback) override {
    return inner_.Subscribe(classGuid, std::move(callback));
  }
  void Unsubscribe(SubscriptionId id) override { inner_.Unsubscribe(id); }

 private:
  void Note();  // the calling thread did device I/O

  device::Driver& inner_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  int held_ = 0;
  int enumerations_ = 0;
  std::set<std::thread::id> ioThreads_;
};

}  // namespace kvx::test
