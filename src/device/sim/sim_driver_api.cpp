// The simulated driver's own interface: time, the timeline, events and faults
// injected from code, and what tests inspect.
#include <algorithm>

#include "device/sim/sim_driver.h"

namespace kvx::sim {

// ---------------------------------------------------------------- trace and time

bool SimDriver::OpenTrace(const std::string& path, std::string& error) { return trace_.OpenFile(path, error); }
void SimDriver::SetTrace(std::FILE* file) { trace_.SetFile(file); }
void SimDriver::SetTrace(std::ostream* stream) { trace_.SetStream(stream); }
void SimDriver::SetTraceFailureHandler(TraceSink::FailureHandler handler) {
  trace_.SetFailureHandler(std::move(handler));
}
std::string SimDriver::TraceFailure() const { return trace_.Failure(); }

std::int64_t SimDriver::NowUs() const {
  if (options_.manualClock) return manualUs_.load();
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
}

std::chrono::steady_clock::time_point SimDriver::RealTimeOf(std::int64_t simUs) const {
  return start_ + std::chrono::microseconds(simUs);
}

double SimDriver::NowMs() const { return static_cast<double>(NowUs()) / 1000.0; }

void SimDriver::AdvanceClock(std::chrono::milliseconds step) {
  if (!options_.manualClock || step.count() <= 0) return;
  {
    std::lock_guard lock(mutex_);
    manualUs_.fetch_add(std::chrono::duration_cast<std::chrono::microseconds>(step).count());
    RunDueEventsLocked();
  }
  readCv_.notify_all();
  eventCv_.notify_all();
}

// ---------------------------------------------------------------- timeline and events

void SimDriver::RunDueEventsLocked() {
  const std::int64_t now = NowUs();
  while (nextEvent_ < timeline_.size() && timeline_[nextEvent_].atMs * 1000 <= now)
    ApplyEventLocked(timeline_[nextEvent_++]);
}

void SimDriver::ApplyEventLocked(const TimelineEvent& event) {
  SimStrip& strip = *strips_[event.strip].device;
  switch (event.type) {
    case EventType::Plug: PlugLocked(event.strip); break;
    case EventType::Unplug: UnplugLocked(event.strip); break;
    case EventType::Stall: strip.StallUntil((event.atMs + event.durationMs) * 1000); break;
    case EventType::On: strip.SetOn(true); break;
    case EventType::Off: strip.SetOn(false); break;
    case EventType::Load: strip.SetLoad(event.outlet, event.load); break;
  }
  readCv_.notify_all();
}

void SimDriver::UnplugLocked(std::size_t strip) {
  SimStrip& device = *strips_[strip].device;
  if (!device.present()) return;
  device.Unplug();
  // Handles opened before the removal stay dead, also after a new arrival.
  for (auto& [handle, state] : handles_)
    if (state.strip == strip) state.dead = true;
  notifications_.push_back({device::DeviceEventType::RemoveComplete, device.classGuid(), device.path()});
  readCv_.notify_all();
  eventCv_.notify_all();
}

void SimDriver::PlugLocked(std::size_t strip) {
  SimStrip& device = *strips_[strip].device;
  if (device.present()) return;
  device.Plug(NowUs());
  notifications_.push_back({device::DeviceEventType::Arrival, device.classGuid(), device.path()});
  eventCv_.notify_all();
}

void SimDriver::Unplug(std::size_t strip) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) UnplugLocked(strip);
}

void SimDriver::Plug(std::size_t strip) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) PlugLocked(strip);
}

void SimDriver::SetOn(std::size_t strip, bool on) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) strips_[strip].device->SetOn(on);
}

void SimDriver::Stall(std::size_t strip, std::chrono::milliseconds duration) {
  std::lock_guard lock(mutex_);
  if (!ValidStrip(strip)) return;
  const std::int64_t ms = std::clamp<std::int64_t>(duration.count(), 0, MAX_SCENARIO_TIME_MS);
  strips_[strip].device->StallUntil(NowUs() + ms * 1000);
  readCv_.notify_all();
}

void SimDriver::SetLoad(std::size_t strip, int outlet, const LoadSpec& load) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) strips_[strip].device->SetLoad(outlet, load);
}

// ---------------------------------------------------------------- faults and settings

void SimDriver::SetPacing(std::size_t strip, std::uint32_t summaryMs, std::uint32_t waveformMs) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) strips_[strip].device->SetPacing(summaryMs, waveformMs);
  readCv_.notify_all();
}

void SimDriver::SetReplyFaults(std::size_t strip, std::vector<ReplyFault> faults) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) strips_[strip].device->SetReplyFaults(std::move(faults));
}

void SimDriver::SetSilentEnumerationSerial(std::size_t strip, bool silent) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) strips_[strip].device->SetSilentEnumerationSerial(silent);
}

void SimDriver::FlagRecord(std::size_t strip, int outlet) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip) && outlet >= 1 && outlet <= static_cast<int>(OUTLETS))
    strips_[strip].device->memory().FlagRecord(outlet);
}

void SimDriver::SetZeroDivisor(std::size_t strip, int outlet, DivisorFault which) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip) && outlet >= 1 && outlet <= static_cast<int>(OUTLETS))
    strips_[strip].device->memory().ZeroDivisor(outlet, which);
}

void SimDriver::SetPacketCorruption(std::size_t strip, std::uint32_t every, std::uint8_t index) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) strips_[strip].device->SetPacketCorruption(every, index);
}

void SimDriver::SetEnumerationErrors(std::vector<EnumerationError> errors) {
  std::lock_guard lock(mutex_);
  enumerationErrors_ = std::move(errors);
}

// ---------------------------------------------------------------- inspection

std::size_t SimDriver::StripCount() const { return strips_.size(); }  // fixed at construction

std::optional<std::size_t> SimDriver::FindStrip(std::uint32_t serial) const {
  for (std::size_t i = 0; i < strips_.size(); ++i)
    if (strips_[i].device->serial() == serial) return i;  // identity never changes
  return std::nullopt;
}

std::string SimDriver::DevicePath(std::size_t strip) const {
  return ValidStrip(strip) ? strips_[strip].device->path() : std::string();
}

StripStatus SimDriver::Status(std::size_t strip) const {
  std::lock_guard lock(mutex_);
  return ValidStrip(strip) ? strips_[strip].device->Status() : StripStatus{};
}

protocol::ChannelCalibration SimDriver::CalibrationRecord(std::size_t strip, int outlet) const {
  std::lock_guard lock(mutex_);
  if (!ValidStrip(strip) || outlet < 1 || outlet > static_cast<int>(OUTLETS)) return {};
  return strips_[strip].device->memory().Record(outlet);
}

protocol::Reading SimDriver::MeasureSummary(std::size_t strip) const {
  std::lock_guard lock(mutex_);
  return ValidStrip(strip) ? strips_[strip].device->SummaryAt(NowUs()) : protocol::Reading{};
}

std::vector<RequestRecord> SimDriver::RequestLog(std::size_t strip) const {
  std::lock_guard lock(mutex_);
  if (!ValidStrip(strip)) return {};
  return std::vector<RequestRecord>(strips_[strip].log.begin(), strips_[strip].log.end());
}

void SimDriver::ClearRequestLog(std::size_t strip) {
  std::lock_guard lock(mutex_);
  if (ValidStrip(strip)) strips_[strip].log.clear();
}

std::uint64_t SimDriver::ReadCount(std::size_t strip) const {
  std::lock_guard lock(mutex_);
  return ValidStrip(strip) ? strips_[strip].reads : 0;
}

int SimDriver::OpenHandleCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(handles_.size());
}

int SimDriver::PendingControlCount() const {
  std::lock_guard lock(mutex_);
  return pendingControls_;
}

int SimDriver::PendingReadCount() const {
  std::lock_guard lock(mutex_);
  return pendingReads_;
}

}  // namespace kvx::sim
