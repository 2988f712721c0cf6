#include "usb_fixture.h"

#include <cstdlib>
#include <cstring>

namespace kvx::usb::testing {

using namespace kvx::protocol;

void EventLog::Add(const device::DeviceEvent& event) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  cv_.notify_all();
}

std::optional<device::DeviceEvent> EventLog::Take(device::DeviceEventType type, const std::string& path) {
  std::unique_lock lock(mutex_);
  std::optional<device::DeviceEvent> found;
  cv_.wait_for(lock, PATIENCE, [&] {
    for (auto it = events_.begin(); it != events_.end(); ++it) {
      if (it->type != type || (!path.empty() && it->path != path)) continue;
      found = *it;
      events_.erase(it);
      return true;
    }
    return false;
  });
  return found;
}

std::size_t EventLog::Count() {
  std::lock_guard lock(mutex_);
  return events_.size();
}

void UsbBackendTest::SetUp() {
  UsbOptions options;
  options.primaryIds = {PRIMARY};
  options.fallbackIds = {FALLBACK};
  std::string error;
  driver_ = MakeUsbDriver(options, error);
  ASSERT_TRUE(driver_) << error;
}

std::vector<std::string> UsbBackendTest::Paths(std::string_view classGuid) {
  std::vector<std::string> paths;
  std::unique_ptr<device::InterfaceSet> set = driver_->GetClassDevs(classGuid);
  if (!set) return paths;
  for (std::uint32_t i = 0; set->EnumInterface(i) == device::EnumStatus::Ok; ++i)
    if (auto path = set->InterfaceDetailPath(i)) paths.push_back(*path);
  return paths;
}

std::optional<std::vector<std::uint8_t>> UsbBackendTest::RequestIn(device::Handle handle, std::uint8_t request,
                                                                   std::uint16_t value, std::uint16_t index,
                                                                   std::uint16_t length) {
  // One buffer for the packet and the reply, as the client's enumeration does.
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(8, length));
  const SetupPacket packet = BuildSetupPacket(REQUEST_TYPE_IN, request, value, index, length);
  std::copy(packet.begin(), packet.end(), buffer.begin());
  std::uint32_t returned = 0;
  if (!driver_->Control(handle, IOCTL_STRIP_CONTROL_TRANSFER, std::span<const std::uint8_t>(buffer.data(), 8),
                        std::span<std::uint8_t>(buffer.data(), length), returned))
    return std::nullopt;
  buffer.resize(returned);
  return buffer;
}

std::optional<std::uint32_t> UsbBackendTest::SerialAt(const std::string& path) {
  const device::Handle handle = driver_->Open(path);
  if (handle == device::INVALID_HANDLE_VALUE) return std::nullopt;
  const auto reply = RequestIn(handle, REQ_SERIAL_NUMBER, 0, 0, SERIAL_NUMBER_LENGTH);
  driver_->Close(handle);
  if (!reply || reply->size() != 3) return std::nullopt;
  return DecodeSerialNumber(std::span<const std::uint8_t, 3>(reply->data(), 3));
}

std::string UsbBackendTest::PathOf(std::uint32_t serial, std::string_view classGuid) {
  for (const std::string& path : Paths(classGuid))
    if (SerialAt(path) == serial) return path;
  return {};
}

device::Handle UsbBackendTest::StartedPipe(const std::string& path) {
  const device::Handle pipe = driver_->Open(path + "\\PIPE00");
  if (pipe == device::INVALID_HANDLE_VALUE) return pipe;
  const std::uint8_t event[4] = {0x34, 0x12, 0, 0};
  std::uint32_t returned = 0;
  if (!driver_->Control(pipe, IOCTL_STRIP_SET_EVENT, event, {}, returned)) {
    driver_->Close(pipe);
    return device::INVALID_HANDLE_VALUE;
  }
  return pipe;
}

}  // namespace kvx::usb::testing

// Only under the emulator: elsewhere there is no strip to talk to.
int main(int argc, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (std::getenv("UMOCKDEV_DIR") == nullptr || preload == nullptr || std::strstr(preload, "umockdev") == nullptr) {
    std::printf("not under kvx-usb-emulator (no umockdev preload): skipped\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
