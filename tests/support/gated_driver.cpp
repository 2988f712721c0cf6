#include "support/gated_driver.h"

namespace kvx::test {

namespace {
constexpr auto kGiveUp = std::chrono::seconds(10);
}

void GatedDriver::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

void GatedDriver::Open() {
  std::lock_guard lock(mutex_);
  closed_ = false;
  changed_.notify_all();
}

bool GatedDriver::WaitUntilHeld() {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kGiveUp, [this] { return held_ > 0; });
}

bool GatedDriver::Held() const {
  std::lock_guard lock(mutex_);
  return held_ > 0;
}

int GatedDriver::Enumerations() const {
  std::lock_guard lock(mutex_);
  return enumerations_;
}

bool GatedDriver::DeviceIoOn(std::thread::id thread) const {
  std::lock_guard lock(mutex_);
  return ioThreads_.count(thread) != 0;
}

void GatedDriver::Note() {
  std::lock_guard lock(mutex_);
  ioThreads_.insert(std::this_thread::get_id());
}

std::unique_ptr<device::InterfaceSet> GatedDriver::GetClassDevs(std::string_view classGuid) {
  {
    std::unique_lock lock(mutex_);
    ioThreads_.insert(std::this_thread::get_id());
    ++enumerations_;
    ++held_;
    changed_.notify_all();
    changed_.wait_for(lock, kGiveUp, [this] { return !closed_; });
    --held_;
  }
  return inner_.GetClassDevs(classGuid);
}

device::Handle GatedDriver::Open(const std::string& path) {
  Note();
  return inner_.Open(path);
}

device::ControlStatus GatedDriver::Control(device::Handle handle, std::uint32_t code,
                                           std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                           std::uint32_t& bytesReturned, std::chrono::milliseconds timeout) {
  Note();
  return inner_.Control(handle, code, in, out, bytesReturned, timeout);
}

}  // namespace kvx::test
