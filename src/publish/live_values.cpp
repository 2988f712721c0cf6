#include "publish/live_values.h"

namespace kvx::publish {

std::string LiveState::Why(std::chrono::steady_clock::time_point now) const {
  if (identity.connectionSerial == 0) return "no strip";
  if (!connected) return endedBecause.value_or("not connected");
  if (!haveReading) return "no reading yet";
  return now - readingAt > STALE_AFTER ? "stall" : "";
}

void LiveValues::OnConnectionOpened(const ConnectionOpenedEvent& event) {
  std::lock_guard lock(mutex_);
  state_.identity = event.identity;
  state_.connected = true;
  state_.endedBecause.reset();
  state_.haveReading = false;
}

void LiveValues::OnSummaryReading(const SummaryReadingEvent& event) {
  std::lock_guard lock(mutex_);
  state_.haveReading = true;
  state_.power = event.power;
  (event.power ? state_.sawPower : state_.sawCurrent) = true;
  state_.isOn = event.isOn;
  state_.values = event.present;
  state_.line = event.line;
  state_.readingAt = std::chrono::steady_clock::now();
}

void LiveValues::OnConnectionEnded(const ConnectionEndedEvent& event) {
  std::lock_guard lock(mutex_);
  state_.connected = false;
  state_.haveReading = false;
  state_.endedBecause = ConnectionEndName(event.end);
}

LiveState LiveValues::Read() const {
  std::lock_guard lock(mutex_);
  return state_;
}

}  // namespace kvx::publish
