#include "device/usb/usb_control.h"

#include <algorithm>
#include <vector>

namespace kvx::usb {

namespace {

int ErrorOf(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    default: return LIBUSB_ERROR_IO;
  }
}

}  // namespace

int ControlCall::Run(const protocol::SetupFields& setup, std::span<std::uint8_t> data, unsigned timeoutMs) {
  const bool deviceToHost = (setup.bmRequestType & 0x80) != 0;
  std::vector<std::uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + data.size());
  libusb_fill_control_setup(buffer.data(), setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                            static_cast<std::uint16_t>(data.size()));
  if (!deviceToHost) std::copy(data.begin(), data.end(), buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE);
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr) return LIBUSB_ERROR_NO_MEM;
  libusb_fill_control_transfer(transfer, handle_, buffer.data(), &ControlCall::OnDone, this, timeoutMs);
  int rc = 0;
  {
    EventGate::Pass pass(gate_);
    rc = libusb_submit_transfer(transfer);
  }
  if (rc != 0) {
    libusb_free_transfer(transfer);
    return rc;
  }
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return done_ || abandoned_; });
  if (!done_) {
    lock.unlock();
    {
      EventGate::Pass pass(gate_);
      libusb_cancel_transfer(transfer);
    }
    lock.lock();
    // A cancelled transfer always completes (the kernel hands a discarded
    // URB back at once); its buffer must live until then.
    cv_.wait(lock, [&] { return done_; });
  }
  const libusb_transfer_status status = transfer->status;
  const int length = transfer->actual_length;
  const bool abandoned = abandoned_;
  lock.unlock();
  libusb_free_transfer(transfer);
  if (abandoned) return LIBUSB_ERROR_INTERRUPTED;
  if (status != LIBUSB_TRANSFER_COMPLETED) return ErrorOf(status);
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(std::max(length, 0)), data.size());
  if (deviceToHost) std::copy_n(buffer.begin() + LIBUSB_CONTROL_SETUP_SIZE, n, data.begin());
  return static_cast<int>(n);
}

void ControlCall::Abandon() {
  std::lock_guard lock(mutex_);
  abandoned_ = true;
  cv_.notify_all();
}

void LIBUSB_CALL ControlCall::OnDone(libusb_transfer* transfer) {
  auto& self = *static_cast<ControlCall*>(transfer->user_data);
  if (transfer->status == LIBUSB_TRANSFER_COMPLETED && self.onCompleted_) self.onCompleted_();
  // Notified under the lock: once Run sees done_ it destroys the call, so
  // nothing of it may be touched after the lock is released.
  std::lock_guard lock(self.mutex_);
  self.done_ = true;
  self.cv_.notify_all();
}

}  // namespace kvx::usb
