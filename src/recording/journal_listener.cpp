#include "recording/journal_listener.h"

#include <utility>

#include "acquisition/control_ids.h"

namespace kvx::recording {

JournalListener::JournalListener(const LogSettings& settings, const ControlModel& controls, Clock& clock,
                                 std::string directory)
    : settings_(settings),
      controls_(controls),
      journal_(
          directory.empty() ? "." : std::move(directory), clock,
          [this](const std::string& message) {
            std::lock_guard lock(statusMutex_);
            status_.failing = true;
            status_.error = message;
          },
          [this] {
            std::lock_guard lock(statusMutex_);
            status_.failing = false;
          }) {}

void JournalListener::OnConnectionOpened(const ConnectionOpenedEvent& event) {
  serial_.store(event.identity.connectionSerial);
  JournalFields fields = {{"firmware", event.identity.firmwareText}};
  const OutletNames& names = event.identity.outletNames;
  if (names != OutletNames{}) fields.emplace_back("outlet_names", std::vector<std::string>(names.begin(), names.end()));
  Write("connection_started", fields);
}

void JournalListener::OnReadTimeouts(const ReadTimeoutsEvent& event) {
  Write("read_timeouts", {{"count", static_cast<std::int64_t>(event.count)},
                          {"first_ms", std::int64_t{event.firstTick}},
                          {"last_ms", std::int64_t{event.lastTick}}});
}

void JournalListener::OnRequestFailed(const RequestFailedEvent& event) {
  Write("request_failed", {{"request", event.request}, {"reason", event.why}});
}

void JournalListener::OnConnectionFailing(const ConnectionFailingEvent& event) {
  Write("connection_failing", {{"reason", event.why}, {"retry_ms", std::int64_t{event.retryMs}}});
}

void JournalListener::OnConnectionEnded(const ConnectionEndedEvent& event) {
  Write("connection_ended", {{"reason", std::string(ConnectionEndName(event.end))}});
}

void JournalListener::Write(std::string_view event, const JournalFields& fields) {
  if (LoggingOn()) journal_.Write(Serial(), event, fields);
}

void JournalListener::WriteAlways(std::string_view event, const JournalFields& fields) {
  journal_.Write(Serial(), event, fields);
}

void JournalListener::WriteFor(std::optional<std::uint32_t> serial, std::string_view event,
                               const JournalFields& fields) {
  if (LoggingOn()) journal_.Write(serial, event, fields);
}

void JournalListener::ProcessStarted(std::optional<std::uint32_t> serial, const JournalFields& fields) {
  const std::int32_t mode = settings_.logMode.load();
  if (mode % STARTUP_ACTIONS_PENDING != 0 || LoggingOn()) journal_.Write(serial, "process_started", fields);
}

void JournalListener::Shutdown() {
  if (!shutdownWritten_.exchange(true)) Write("shutdown");
  journal_.Sync();
}

JournalStatus JournalListener::Status() const {
  std::lock_guard lock(statusMutex_);
  return status_;
}

bool JournalListener::LoggingOn() const { return controls_.IsChecked(ids::LOG_CHECK); }

std::optional<std::uint32_t> JournalListener::Serial() const {
  const std::uint32_t serial = serial_.load();
  return serial != 0 ? std::optional<std::uint32_t>(serial) : std::nullopt;
}

}  // namespace kvx::recording
