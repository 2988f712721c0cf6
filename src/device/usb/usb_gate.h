// Who may call into libusb when. The event thread runs libusb's event
// handling in rounds while holding the gate; any other thread enters the
// gate (Pass) for its libusb calls, which interrupts the round in progress.
//
// Why: a transfer submitted on one thread and reaped on the event thread is
// handed over through the kernel (the URB), which ThreadSanitizer cannot
// see; with the gate every submission is ordered before the round that
// reaps it. A thread holding a Pass also handles events itself while it
// waits for a synchronous transfer, as libusb does without an event thread.
//
// Rules: libusb callbacks run with the gate held (by whoever handles events)
// and never take a Pass; a Pass is never taken twice by one thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <libusb.h>

namespace kvx::usb {

class EventGate {
 public:
  explicit EventGate(libusb_context* context) : context_(context) {}

  class Pass {
   public:
    explicit Pass(EventGate& gate);
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

   private:
    EventGate& gate_;
    std::unique_lock<std::mutex> lock_;
  };

  // The event thread: handles events for at most `round`, or until a Pass
  // is wanted. Returns at once after Stop.
  void HandleEventsRound(timeval round);
  void Stop();

 private:
  libusb_context* const context_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<int> waiting_{0};  // threads that want a Pass
  std::atomic<bool> stopped_{false};
};

}  // namespace kvx::usb
