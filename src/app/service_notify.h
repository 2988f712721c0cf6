// Health reports to systemd when headless mode runs as a Type=notify service
// (kvx-logger@.service): READY=1 once the strips are listed, STATUS= the status
// line, WATCHDOG=1 only while the acquisition thread makes progress, and
// STOPPING=1 on a stop. Without NOTIFY_SOCKET in the environment it does nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "acquisition/acquisition_thread.h"

namespace kvx {

// Whether the acquisition thread got on between two looks at its status: a
// reading arrived, a connection opened, or it is idle with no strip to poll
// (waiting for one is not being stuck). A thread held up in one call (a
// stalled strip, a control request that never answers) shows none of these.
bool AcquisitionProgressed(const AcquisitionStatus& before, const AcquisitionStatus& now);

class ServiceNotifier {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Reads NOTIFY_SOCKET and the watchdog interval (WATCHDOG_USEC) once.
  ServiceNotifier();

  bool active() const { return active_; }
  // How long systemd waits for a WATCHDOG=1; nullopt when no watchdog is set.
  std::optional<std::chrono::microseconds> watchdogInterval() const { return watchdog_; }

  void Ready();
  // Sent when the text changed since the last one.
  void Status(const std::string& statusLine);
  void Stopping();
  // Looks at the thread's status at most twice per watchdog interval and
  // says WATCHDOG=1 when it progressed since the previous look.
  void Check(const AcquisitionStatus& status, TimePoint now);
  // When the main loop should call Check next (nullopt: no watchdog).
  std::optional<TimePoint> nextCheck() const;

 private:
  void Send(const std::string& message);

  bool active_ = false;
  std::optional<std::chrono::microseconds> watchdog_;
  std::string lastStatus_;
  std::optional<AcquisitionStatus> lastSeen_;
  TimePoint nextCheck_{};
};

}  // namespace kvx
