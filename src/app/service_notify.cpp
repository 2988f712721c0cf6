#include "app/service_notify.h"

#include <algorithm>

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace kvx {

bool AcquisitionProgressed(const AcquisitionStatus& before, const AcquisitionStatus& now) {
  if (now.state == ConnectionState::Idle) return true;
  return now.readings != before.readings || now.connections != before.connections;
}

ServiceNotifier::ServiceNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && socket[0] != '\0';
  if (!active_) return;
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    // Checked every half interval: one below 100 ms (WATCHDOG_USEC=1) would make the
    // main loop spin; the service manager is told at least that often anyway.
    watchdog_ = std::chrono::microseconds(std::max<std::uint64_t>(usec, 100000));
  }
}

void ServiceNotifier::Send(const std::string& message) {
  if (active_) sd_notify(0, message.c_str());
}

void ServiceNotifier::Ready() { Send("READY=1"); }

void ServiceNotifier::Status(const std::string& statusLine) {
  if (!active_ || statusLine == lastStatus_) return;
  lastStatus_ = statusLine;
  // One line: a newline would start another assignment of the message.
  std::string text = statusLine;
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  Send("STATUS=" + text);
}

void ServiceNotifier::Stopping() { Send("STOPPING=1"); }

void ServiceNotifier::Check(const AcquisitionStatus& status, TimePoint now) {
  if (!active_ || !watchdog_ || now < nextCheck_) return;
  nextCheck_ = now + *watchdog_ / 2;
  if (!lastSeen_ || AcquisitionProgressed(*lastSeen_, status)) Send("WATCHDOG=1");
  lastSeen_ = status;
}

std::optional<ServiceNotifier::TimePoint> ServiceNotifier::nextCheck() const {
  if (!active_ || !watchdog_) return std::nullopt;
  return nextCheck_;
}

}  // namespace kvx
