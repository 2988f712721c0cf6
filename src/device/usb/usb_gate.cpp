#include "device/usb/usb_gate.h"

namespace kvx::usb {

EventGate::Pass::Pass(EventGate& gate) : gate_(gate) {
  gate_.waiting_.fetch_add(1);
  // Ends the event thread's round (or the next one, if it is between rounds).
  libusb_interrupt_event_handler(gate_.context_);
  lock_ = std::unique_lock(gate_.mutex_);
  gate_.waiting_.fetch_sub(1);
}

EventGate::Pass::~Pass() {
  lock_.unlock();
  gate_.cv_.notify_all();
}

void EventGate::HandleEventsRound(timeval round) {
  std::unique_lock lock(mutex_);
  // Callers first: the event thread would otherwise take the gate again at once.
  cv_.wait(lock, [&] { return waiting_.load() == 0 || stopped_.load(); });
  if (stopped_) return;
  libusb_handle_events_timeout_completed(context_, &round, nullptr);
}

void EventGate::Stop() {
  stopped_ = true;
  libusb_interrupt_event_handler(context_);
  cv_.notify_all();
}

}  // namespace kvx::usb
