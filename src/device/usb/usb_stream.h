// The readings of one pipe handle: a few asynchronous IN transfers kept in
// flight on the strip's data endpoint; their callbacks (on the event thread)
// only queue each reading and resubmit. Read waits on a condition variable.
//
// Pipe states, as the driver contract has them: before Start a Read waits
// (nothing streams yet), after Start it gets the queued readings, after Stop
// or Fail every Read fails at once, until a new Start. A Cancel wakes the Read that waits, or
// the next one if none does: it is never lost.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

#include <libusb.h>

#include "device/driver.h"
#include "device/protocol.h"
#include "device/usb/usb_gate.h"

namespace kvx::usb {

struct EndpointInfo {
  std::uint8_t address = 0x81;
  bool interrupt = false;           // bulk otherwise
  std::uint16_t packetSize = 64;
};

class UsbStream {
 public:
  UsbStream(EventGate& gate, libusb_device_handle* handle, EndpointInfo endpoint);
  ~UsbStream();  // stops first
  UsbStream(const UsbStream&) = delete;
  UsbStream& operator=(const UsbStream&) = delete;

  // Starts streaming, also again after a Stop; false when no transfer could
  // be submitted. A second Start while streaming changes nothing. Takes a Pass.
  bool Start();
  // Cancels the transfers and waits until each callback has returned. Takes a Pass.
  void Stop();
  // The strip is gone or the handle closed: wakes a waiting Read, later ones fail.
  void Fail();
  void Cancel();
  // Drops the readings queued and not yet read: called on the event thread
  // when a request that changes what the strip sends has completed, so the
  // readings fetched before it never pass for readings of the new selection.
  void DropQueued();
  std::size_t QueuedCount() const;
  device::ReadResult Read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout);

  // Set when a transfer reported that the device is gone.
  bool DeviceLost() const;

 private:
  // Transfers kept in flight: enough that the strip never waits for the host
  // between readings, few enough to cancel quickly.
  static constexpr int IN_FLIGHT = 3;
  // Readings kept when nobody reads; the oldest go first.
  static constexpr std::size_t QUEUE_LIMIT = 256;

  struct Queued {
    protocol::ReadingBytes bytes{};
    std::uint32_t length = 0;
  };

  static void LIBUSB_CALL OnTransfer(libusb_transfer* transfer);
  void Completed(libusb_transfer* transfer);

  EventGate& gate_;
  libusb_device_handle* const handle_;
  const EndpointInfo endpoint_;
  std::vector<libusb_transfer*> transfers_;
  std::vector<std::vector<std::uint8_t>> buffers_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Queued> queue_;
  int inFlight_ = 0;
  bool started_ = false;
  bool stopping_ = false;
  bool failed_ = false;
  bool lost_ = false;
  bool cancelPending_ = false;
};

}  // namespace kvx::usb
