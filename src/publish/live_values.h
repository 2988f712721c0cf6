// What the publishers tell the world about the strip of the current
// connection: its identity, the latest summary reading and its line values,
// and whether they are fresh. A listener of the acquisition events that only
// copies under its own small lock (the acquisition thread never waits on a
// publisher); each publisher's own thread takes a copy when it publishes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "acquisition/listener.h"

namespace kvx::publish {

// A stretch without readings longer than this is a gap: values are withdrawn.
inline constexpr std::chrono::milliseconds STALE_AFTER{5000};

struct LiveState {
  ConnectionIdentity identity;  // connectionSerial 0: no strip yet
  bool connected = false;
  std::optional<std::string> endedBecause;  // the connection's end, while no new one
  bool haveReading = false;
  bool power = false;                         // W, else mA
  bool sawCurrent = false, sawPower = false;  // since the start: what a reader may hold a value of
  bool isOn = false;
  std::array<double, 4> values{};  // as shown and logged
  LineValues line{};
  std::chrono::steady_clock::time_point readingAt{};

  // Readings arrive: connected, and the latest no older than STALE_AFTER.
  bool Fresh(std::chrono::steady_clock::time_point now) const {
    return connected && haveReading && now - readingAt <= STALE_AFTER;
  }
  // Why there are no values now ("unplugged", "stall", "no strip", ...).
  std::string Why(std::chrono::steady_clock::time_point now) const;
};

class LiveValues final : public AcquisitionListener {
 public:
  void OnConnectionOpened(const ConnectionOpenedEvent& event) override;
  void OnSummaryReading(const SummaryReadingEvent& event) override;
  void OnConnectionEnded(const ConnectionEndedEvent& event) override;

  LiveState Read() const;

 private:
  mutable std::mutex mutex_;
  LiveState state_;
};

}  // namespace kvx::publish
