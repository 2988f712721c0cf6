#include "device/usb/usb_stream.h"

#include <algorithm>

namespace kvx::usb {

using device::ReadResult;
using device::ReadStatus;

namespace {

// Longest a Stop waits for the cancelled transfers: the event thread reaps
// them within a few event-loop rounds; a stuck bus must not hang a caller.
constexpr std::chrono::seconds STOP_WAIT{2};
constexpr std::chrono::milliseconds MAX_READ_WAIT = std::chrono::hours(24);

}  // namespace

UsbStream::UsbStream(EventGate& gate, libusb_device_handle* handle, EndpointInfo endpoint)
    : gate_(gate), handle_(handle), endpoint_(endpoint) {}

UsbStream::~UsbStream() {
  Stop();
  std::lock_guard lock(mutex_);
  // A transfer whose callback never came (stuck bus) stays allocated rather
  // than freed under libusb's feet.
  if (inFlight_ == 0)
    for (libusb_transfer* transfer : transfers_) libusb_free_transfer(transfer);
}

bool UsbStream::Start() {
  EventGate::Pass pass(gate_);  // before our lock: callbacks hold the gate and take our lock
  std::lock_guard lock(mutex_);
  if (lost_) return false;
  if (started_ && !stopping_ && !failed_) return true;
  if (inFlight_ > 0) return false;  // a Stop that timed out still has transfers out
  // A start after a stop streams afresh: what was queued before is stale.
  queue_.clear();
  stopping_ = failed_ = false;
  const std::size_t size = std::max<std::size_t>(endpoint_.packetSize, protocol::READING_SIZE);
  while (transfers_.size() < IN_FLIGHT) {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) break;
    buffers_.emplace_back(size);
    if (endpoint_.interrupt)
      libusb_fill_interrupt_transfer(transfer, handle_, endpoint_.address, buffers_.back().data(),
                                     static_cast<int>(size), &UsbStream::OnTransfer, this, 0);
    else
      libusb_fill_bulk_transfer(transfer, handle_, endpoint_.address, buffers_.back().data(), static_cast<int>(size),
                                &UsbStream::OnTransfer, this, 0);
    transfers_.push_back(transfer);
  }
  for (libusb_transfer* transfer : transfers_) {
    const int rc = libusb_submit_transfer(transfer);
    if (rc != 0) {
      if (rc == LIBUSB_ERROR_NO_DEVICE) lost_ = true;
      break;
    }
    ++inFlight_;
  }
  started_ = inFlight_ > 0;
  if (!started_) failed_ = true;
  cv_.notify_all();
  return started_;
}

void UsbStream::Stop() {
  {
    EventGate::Pass pass(gate_);
    std::lock_guard lock(mutex_);
    failed_ = true;
    if (!stopping_ && started_) {
      stopping_ = true;
      // Cancelling a transfer that already completed only returns NOT_FOUND.
      for (libusb_transfer* transfer : transfers_) libusb_cancel_transfer(transfer);
    }
    cv_.notify_all();
  }
  // Without the gate: the cancelled transfers come back through the event thread.
  std::unique_lock lock(mutex_);
  cv_.wait_for(lock, STOP_WAIT, [&] { return inFlight_ == 0; });
}

void UsbStream::Fail() {
  std::lock_guard lock(mutex_);
  failed_ = true;
  cv_.notify_all();
}

void UsbStream::Cancel() {
  std::lock_guard lock(mutex_);
  cancelPending_ = true;
  cv_.notify_all();
}

void UsbStream::DropQueued() {
  std::lock_guard lock(mutex_);
  queue_.clear();
}

std::size_t UsbStream::QueuedCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool UsbStream::DeviceLost() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

ReadResult UsbStream::Read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::clamp(timeout, std::chrono::milliseconds(0), MAX_READ_WAIT);
  std::unique_lock lock(mutex_);
  for (;;) {
    if (cancelPending_) {
      cancelPending_ = false;
      return {ReadStatus::Cancelled, 0};
    }
    // Readings that arrived before a Fail are still the strip's: only a
    // stop or the loss of the strip with nothing queued fails the read.
    if (!queue_.empty() && !stopping_) {
      const Queued reading = queue_.front();
      queue_.pop_front();
      const std::size_t n = std::min<std::size_t>(reading.length, buffer.size());
      std::copy_n(reading.bytes.begin(), n, buffer.begin());
      return {ReadStatus::Completed, static_cast<std::uint32_t>(n)};
    }
    if (failed_) return {ReadStatus::Failed, 0};
    if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && queue_.empty() && !cancelPending_ && !failed_)
      return {ReadStatus::TimedOut, 0};
  }
}

void LIBUSB_CALL UsbStream::OnTransfer(libusb_transfer* transfer) {
  static_cast<UsbStream*>(transfer->user_data)->Completed(transfer);
}

void UsbStream::Completed(libusb_transfer* transfer) {
  std::lock_guard lock(mutex_);
  bool again = false;
  switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
      if (transfer->actual_length > 0) {
        Queued reading;
        reading.length = static_cast<std::uint32_t>(std::min<int>(transfer->actual_length, protocol::READING_SIZE));
        std::copy_n(transfer->buffer, reading.length, reading.bytes.begin());
        if (queue_.size() == QUEUE_LIMIT) queue_.pop_front();
        queue_.push_back(reading);
      }
      again = true;
      break;
    case LIBUSB_TRANSFER_TIMED_OUT:
    case LIBUSB_TRANSFER_OVERFLOW: again = true; break;
    case LIBUSB_TRANSFER_NO_DEVICE:
      lost_ = true;
      failed_ = true;
      break;
    case LIBUSB_TRANSFER_CANCELLED: break;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_STALL: failed_ = true; break;
  }
  if (again && !stopping_ && !failed_) {
    const int rc = libusb_submit_transfer(transfer);
    if (rc == 0) {
      cv_.notify_all();
      return;
    }
    if (rc == LIBUSB_ERROR_NO_DEVICE) lost_ = true;
    failed_ = true;
  }
  --inFlight_;
  cv_.notify_all();
}

}  // namespace kvx::usb
