// One control transfer on endpoint 0, submitted asynchronously and completed
// by the event thread. The caller waits on a condition variable, not inside
// libusb holding the gate: so a slow or silent strip holds only its caller,
// never the other threads' libusb calls (another strip's reads, a Close), and
// a Close of the caller's handle ends the wait at once (Abandon).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>

#include <libusb.h>

#include "device/protocol.h"
#include "device/usb/usb_gate.h"

namespace kvx::usb {

class ControlCall {
 public:
  // `onCompleted`, when given, runs on the event thread as the transfer
  // completes successfully, before any later transfer's callback.
  ControlCall(EventGate& gate, libusb_device_handle* handle, std::function<void()> onCompleted = {})
      : gate_(gate), handle_(handle), onCompleted_(std::move(onCompleted)) {}
  ControlCall(const ControlCall&) = delete;
  ControlCall& operator=(const ControlCall&) = delete;

  // Sends the request with `data` as its data stage (out of the host, or in:
  // the reply lands there) and waits for its end, at most `timeout` unless
  // abandoned. As libusb_control_transfer: the byte count, or a libusb error;
  // LIBUSB_ERROR_INTERRUPTED once abandoned.
  int Run(const protocol::SetupFields& setup, std::span<std::uint8_t> data, unsigned timeoutMs);
  // From any thread: the waiting Run cancels its transfer and returns.
  void Abandon();

 private:
  static void LIBUSB_CALL OnDone(libusb_transfer* transfer);

  EventGate& gate_;
  libusb_device_handle* const handle_;
  const std::function<void()> onCompleted_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool abandoned_ = false;
};

}  // namespace kvx::usb
