// The USB driver's control calls and reads: a control transfer per request
// (a selection drops the readings queued before it), the driver's own codes
// SET_EVENT and STOP, and the reads of a pipe's stream.
#include <algorithm>
#include <vector>

#include "device/usb/usb_driver.h"

namespace kvx::usb {

using namespace kvx::protocol;
using device::Handle;
using device::ReadResult;
using device::ReadStatus;

device::ControlStatus UsbDriver::Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                                         std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                                         std::chrono::milliseconds timeout) {
  using device::ControlStatus;
  bytesReturned = 0;
  std::shared_ptr<Strip> strip;
  std::shared_ptr<UsbStream> stream;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.strip->gone) return ControlStatus::Gone;
    strip = it->second.strip;
    stream = it->second.stream;
  }
  switch (code) {
    case IOCTL_STRIP_CONTROL_TRANSFER: return Transfer(handle, *strip, in, out, bytesReturned, timeout);
    case IOCTL_STRIP_SET_EVENT:
      if (in.size() < 4) return ControlStatus::Refused;  // the event handle's value, as the strip driver wants it
      return !stream || stream->Start() ? ControlStatus::Ok : ControlStatus::Refused;
    case IOCTL_STRIP_STOP:
      if (stream) stream->Stop();
      return ControlStatus::Ok;
    default: return ControlStatus::Refused;
  }
}

device::ControlStatus UsbDriver::Transfer(Handle handle, Strip& strip, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                          std::uint32_t& bytesReturned, std::chrono::milliseconds timeout) {
  using device::ControlStatus;
  if (in.size() < 8) return ControlStatus::Refused;
  // The packet first: `in` and `out` may be the same buffer.
  const SetupFields setup = ParseSetupPacket(in.first<8>());
  const bool deviceToHost = (setup.bmRequestType & 0x80) != 0;
  std::vector<std::uint8_t> data;
  if (deviceToHost) {
    data.resize(std::min<std::size_t>(setup.wLength, out.size()));
  } else {
    // A host-to-device data stage follows the packet in the input.
    data.assign(in.begin() + 8, in.begin() + 8 + std::min<std::size_t>(setup.wLength, in.size() - 8));
  }
  // libusb takes 0 as "no time-out": the shortest wait it is given is 1 ms.
  const auto waitMs = static_cast<unsigned>(std::clamp<std::int64_t>(timeout.count(), 1, 0x7FFFFFFF));
  // A selection changes what the strip sends: the readings its pipes queued
  // before the request completed are of the old selection and go with it.
  std::vector<std::shared_ptr<UsbStream>> streams;
  if (protocol::ChangesSelection(setup)) {
    std::lock_guard lock(mutex_);
    for (const auto& [h, state] : handles_)
      if (state.stream && state.strip.get() == &strip) streams.push_back(state.stream);
  }
  ControlCall call(gate_, strip.handle, streams.empty() ? std::function<void()>{} : [&streams] {
    for (const auto& stream : streams) stream->DropQueued();
  });
  {
    // Registered for Close, which abandons the call; closed already: nothing to send.
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.controlsCancelled) return ControlStatus::Gone;
    calls_.emplace(handle, &call);
  }
  const int rc = call.Run(setup, data, waitMs);
  {
    std::lock_guard lock(mutex_);
    for (auto [it, end] = calls_.equal_range(handle); it != end; ++it) {
      if (it->second != &call) continue;
      calls_.erase(it);
      break;
    }
  }
  if (rc == LIBUSB_ERROR_INTERRUPTED) return ControlStatus::Gone;
  if (rc < 0) {
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
      MarkGone(strip.path);
      return ControlStatus::Gone;
    }
    return rc == LIBUSB_ERROR_TIMEOUT ? ControlStatus::TimedOut : ControlStatus::Refused;
  }
  if (deviceToHost) {
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(rc), data.size());
    std::copy_n(data.begin(), n, out.begin());
    bytesReturned = static_cast<std::uint32_t>(n);
  }
  return ControlStatus::Ok;
}

void UsbDriver::CancelControl(Handle handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  it->second.controlsCancelled = true;
  AbandonCallsLocked(handle);
}

void UsbDriver::AbandonCallsLocked(Handle handle) {
  for (auto [call, end] = calls_.equal_range(handle); call != end; ++call) call->second->Abandon();
}

std::size_t UsbDriver::QueuedReadingCount(Handle handle) {
  std::shared_ptr<UsbStream> stream;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end() || !it->second.stream) return 0;
    stream = it->second.stream;
  }
  return stream->QueuedCount();
}

ReadResult UsbDriver::Read(Handle handle, std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
  std::shared_ptr<UsbStream> stream;
  std::string path;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end() || !it->second.stream || it->second.strip->gone) return {ReadStatus::Failed, 0};
    stream = it->second.stream;
    path = it->second.strip->path;
  }
  pendingReads_.fetch_add(1);
  const ReadResult result = stream->Read(buffer, timeout);
  pendingReads_.fetch_sub(1);
  if (result.status == ReadStatus::Failed && stream->DeviceLost()) MarkGone(path);
  return result;
}

void UsbDriver::CancelRead(Handle handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle);
  if (it != handles_.end() && it->second.stream) it->second.stream->Cancel();
}

void UsbDriver::MarkGone(const std::string& path) {
  std::lock_guard lock(mutex_);
  for (auto& [id, state] : handles_) {
    if (state.strip->path != path) continue;
    state.strip->gone = true;
    if (state.stream) state.stream->Fail();
  }
}

}  // namespace kvx::usb
