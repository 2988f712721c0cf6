// The device::Driver side of the simulated driver: enumeration, handles,
// control calls, reads, subscriptions and the driver's own thread.
#include "device/sim/sim_driver.h"

#include <algorithm>
#include <cctype>

#include "device/held_reply.h"

namespace kvx::sim {

using namespace kvx::protocol;
using device::Handle;
using device::INVALID_HANDLE_VALUE;
using device::ReadResult;
using device::ReadStatus;
using device::EqualsNoCase;

namespace {

// Longest wait a caller may ask for; keeps the deadline arithmetic finite.
constexpr std::chrono::milliseconds MAX_READ_WAIT = std::chrono::hours(24);

}  // namespace

SimDriver::SimDriver(Scenario scenario, SimOptions options)
    : options_(options), start_(std::chrono::steady_clock::now()) {
  const std::vector<std::string> paths = ResolvedPaths(scenario);
  for (std::size_t i = 0; i < scenario.strips.size(); ++i) {
    StripSlot slot;
    slot.device = std::make_unique<SimStrip>(scenario.strips[i], paths[i]);
    strips_.push_back(std::move(slot));
  }
  enumerationErrors_ = std::move(scenario.enumerationErrors);
  // A scenario built in code is not validated: events it cannot run are left out.
  for (TimelineEvent event : scenario.timeline) {
    if (event.strip >= strips_.size() || event.atMs < 0 || event.atMs > MAX_SCENARIO_TIME_MS) continue;
    event.durationMs = std::clamp<std::int64_t>(event.durationMs, 0, MAX_SCENARIO_TIME_MS);
    timeline_.push_back(event);
  }
  std::stable_sort(timeline_.begin(), timeline_.end(),
                   [](const TimelineEvent& a, const TimelineEvent& b) { return a.atMs < b.atMs; });
  {
    std::lock_guard lock(mutex_);
    RunDueEventsLocked();  // events at time 0 hold before the first call
  }
  eventThread_ = std::thread(&SimDriver::EventLoop, this);
}

SimDriver::~SimDriver() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  subscribers_.Close();
  eventCv_.notify_all();
  readCv_.notify_all();
  eventThread_.join();
}

// ---------------------------------------------------------------- enumeration and handles

std::unique_ptr<device::InterfaceSet> SimDriver::GetClassDevs(std::string_view classGuid) {
  std::lock_guard lock(mutex_);
  std::vector<std::optional<std::string>> slots;
  for (const StripSlot& slot : strips_)
    if (slot.device->present() && EqualsNoCase(slot.device->classGuid(), classGuid))
      slots.emplace_back(slot.device->path());
  std::vector<std::uint32_t> errors;
  for (const EnumerationError& error : enumerationErrors_)
    if (EqualsNoCase(error.interfaceGuid, classGuid)) errors.push_back(error.index);
  std::sort(errors.begin(), errors.end());
  errors.erase(std::unique(errors.begin(), errors.end()), errors.end());
  for (std::uint32_t index : errors)
    if (index <= slots.size()) slots.insert(slots.begin() + index, std::nullopt);
  return std::make_unique<device::ListedInterfaceSet>(std::move(slots));
}

Handle SimDriver::Open(const std::string& path) {
  const std::string suffix = std::string(1, device::PIPE_SEPARATOR) + PIPE_NAME;
  const bool pipe = path.size() > suffix.size() && EqualsNoCase(std::string_view(path).substr(path.size() - suffix.size()), suffix);
  const std::string_view base = pipe ? std::string_view(path).substr(0, path.size() - suffix.size()) : path;
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < strips_.size(); ++i) {
    const SimStrip& strip = *strips_[i].device;
    if (!strip.present() || !EqualsNoCase(strip.path(), base)) continue;
    const Handle handle = nextHandle_++;
    HandleState state;
    state.strip = i;
    state.kind = pipe ? HandleKind::Pipe : HandleKind::Interface;
    handles_.emplace(handle, state);
    return handle;
  }
  return INVALID_HANDLE_VALUE;
}

void SimDriver::Close(Handle handle) {
  std::lock_guard lock(mutex_);
  handles_.erase(handle);
  readCv_.notify_all();  // a read waiting on it fails
}

// ---------------------------------------------------------------- control calls

device::ControlStatus SimDriver::Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                                        std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                                        std::chrono::milliseconds timeout) {
  bytesReturned = 0;
  RequestRecord record;
  record.code = code;
  record.input.assign(in.begin(), in.end());  // taken before anything is written: in and out may overlap
  std::optional<std::uint32_t> serial;
  device::ControlStatus status = device::ControlStatus::Gone;
  {
    std::unique_lock lock(mutex_);
    record.timeMs = static_cast<double>(NowUs()) / 1000.0;
    const auto it = handles_.find(handle);
    if (it != handles_.end()) {
      record.on = it->second.kind;
      serial = strips_[it->second.strip].device->serial();
      status = ControlLocked(lock, handle, code, timeout, record);
      const std::size_t n = status == device::ControlStatus::Ok ? std::min(record.reply.size(), out.size()) : 0;
      record.reply.resize(n);
      std::copy(record.reply.begin(), record.reply.end(), out.begin());
      bytesReturned = static_cast<std::uint32_t>(n);
      record.bytesReturned = bytesReturned;
      const auto after = handles_.find(handle);
      if (status != device::ControlStatus::Gone && after != handles_.end()) LogRequestLocked(after->second.strip, record);
    }
  }
  TraceRequest(serial, record);
  return status;
}

device::ControlStatus SimDriver::ControlLocked(std::unique_lock<std::mutex>& lock, Handle handle, std::uint32_t code,
                                               std::chrono::milliseconds timeout, RequestRecord& record) {
  auto it = handles_.find(handle);
  SimStrip* strip = strips_[it->second.strip].device.get();
  if (it->second.dead || it->second.controlsCancelled || !strip->present()) return device::ControlStatus::Gone;
  bool delayed = false;
  if (code == IOCTL_STRIP_CONTROL_TRANSFER && record.input.size() >= 8) {
    const SetupFields setup = ParseSetupPacket(std::span<const std::uint8_t, 8>(record.input.data(), 8));
    record.setup = setup;  // traced also when the request is withdrawn
    const std::optional<std::chrono::milliseconds> delay = strip->ReplyDelay(setup, it->second.kind);
    if (!delay || delay->count() > 0) {
      const device::ControlStatus waited =
          AwaitReplyLocked(lock, handle, delay.value_or(std::chrono::milliseconds::max()), timeout);
      if (waited != device::ControlStatus::Ok) return waited;  // withdrawn: the strip never sees it
      delayed = true;
      it = handles_.find(handle);
    }
  }
  HandleState& state = it->second;
  bool ok = false;
  switch (code) {
    case IOCTL_STRIP_STOP:
      ok = true;
      if (state.kind == HandleKind::Pipe) state.pipe = PipeState::Stopped;
      break;
    case IOCTL_STRIP_SET_EVENT:
      ok = record.input.size() >= 4;  // the event handle's value
      if (ok && state.kind == HandleKind::Pipe) state.pipe = PipeState::Armed;
      break;
    case IOCTL_STRIP_CONTROL_TRANSFER: ok = TransferLocked(state, record.input, record, delayed); break;
    default: break;
  }
  readCv_.notify_all();  // the pipe's state or the stream may have changed
  record.ok = ok;
  return ok ? device::ControlStatus::Ok : device::ControlStatus::Refused;
}

device::ControlStatus SimDriver::AwaitReplyLocked(std::unique_lock<std::mutex>& lock, Handle handle,
                                                  std::chrono::milliseconds delay, std::chrono::milliseconds timeout) {
  ++pendingControls_;
  const device::ControlStatus status = device::AwaitHeldReply(lock, readCv_, delay, timeout, [&] {
    const auto it = handles_.find(handle);
    return !stop_ && it != handles_.end() && !it->second.dead && !it->second.controlsCancelled &&
           strips_[it->second.strip].device->present();
  });
  --pendingControls_;
  return status;
}

bool SimDriver::TransferLocked(HandleState& handle, std::span<const std::uint8_t> input, RequestRecord& record,
                               bool faultsDone) {
  if (input.size() < 8) return false;
  const SetupFields setup = ParseSetupPacket(input.first<8>());
  record.setup = setup;
  TransferResult result = strips_[handle.strip].device->Transfer(setup, handle.kind, NowUs(), faultsDone);
  record.reply = std::move(result.reply);
  return result.ok;
}

void SimDriver::LogRequestLocked(std::size_t strip, const RequestRecord& record) {
  std::deque<RequestRecord>& log = strips_[strip].log;
  log.push_back(record);
  while (log.size() > options_.requestLogLimit) log.pop_front();
}

void SimDriver::TraceRequest(std::optional<std::uint32_t> serial, const RequestRecord& record) {
  if (trace_.Enabled()) trace_.Write(FormatRequestLine(serial, record));
}

// ---------------------------------------------------------------- reads

ReadResult SimDriver::Read(Handle handle, std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::clamp(timeout, std::chrono::milliseconds(0), MAX_READ_WAIT);
  std::unique_lock lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.kind != HandleKind::Pipe) {  // nothing to read from
    const bool known = it != handles_.end();
    const std::optional<std::uint32_t> serial =
        known ? std::optional<std::uint32_t>(strips_[it->second.strip].device->serial()) : std::nullopt;
    lock.unlock();
    return FinishRead(serial, known ? HandleKind::Interface : HandleKind::Unknown, ReadStatus::Failed, {});
  }
  const std::size_t stripIndex = it->second.strip;
  SimStrip& strip = *strips_[stripIndex].device;
  if (it->second.cancelPending) {
    it->second.cancelPending = false;
    const std::uint32_t serial = strip.serial();
    lock.unlock();
    return FinishRead(serial, HandleKind::Pipe, ReadStatus::Cancelled, {});
  }
  const std::uint64_t cancelAtStart = it->second.cancelCount;
  ++it->second.waiting;
  ++pendingReads_;
  ReadStatus status = ReadStatus::TimedOut;
  ReadingBytes reading{};
  for (;;) {
    it = handles_.find(handle);
    if (it == handles_.end() || it->second.dead || it->second.pipe == PipeState::Stopped) {
      status = ReadStatus::Failed;
      break;
    }
    if (it->second.cancelCount != cancelAtStart) {
      status = ReadStatus::Cancelled;
      break;
    }
    auto wake = deadline;
    if (it->second.pipe == PipeState::Armed && !stop_) {
      const std::int64_t now = NowUs();
      const std::int64_t ready = strip.ReadyAtUs();
      if (now >= ready) {
        reading = strip.TakeReading(now);
        ++strips_[stripIndex].reads;
        status = ReadStatus::Completed;
        break;
      }
      if (!options_.manualClock) wake = std::min(deadline, RealTimeOf(ready));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      status = ReadStatus::TimedOut;
      break;
    }
    readCv_.wait_until(lock, wake);
  }
  if (it != handles_.end()) --it->second.waiting;
  --pendingReads_;
  lock.unlock();
  const std::size_t n = status == ReadStatus::Completed ? std::min(reading.size(), buffer.size()) : 0;
  std::copy_n(reading.begin(), n, buffer.begin());
  return FinishRead(strip.serial(), HandleKind::Pipe, status, std::span<const std::uint8_t>(reading.data(), n));
}

ReadResult SimDriver::FinishRead(std::optional<std::uint32_t> serial, HandleKind on, ReadStatus status,
                                 std::span<const std::uint8_t> data) {
  if (trace_.Enabled()) {
    ReadRecord record;
    record.timeMs = static_cast<double>(NowUs()) / 1000.0;
    record.on = on;
    record.status = status;
    record.bytes = static_cast<std::uint32_t>(data.size());
    record.data.assign(data.begin(), data.end());
    trace_.Write(FormatReadLine(serial, record));
  }
  return ReadResult{status, static_cast<std::uint32_t>(data.size())};
}

void SimDriver::CancelControl(Handle handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  it->second.controlsCancelled = true;
  readCv_.notify_all();  // a control call awaiting its reply gives up
}

void SimDriver::CancelRead(Handle handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  // A cancel with no read waiting is kept for the next read, so that a stop
  // racing the start of a read is never lost.
  if (it->second.waiting == 0) {
    it->second.cancelPending = true;
    return;
  }
  ++it->second.cancelCount;
  readCv_.notify_all();
}

// ---------------------------------------------------------------- subscriptions and the driver's thread

device::Driver::SubscriptionId SimDriver::Subscribe(std::string_view classGuid, EventCallback callback) {
  return subscribers_.Add(classGuid, std::move(callback));
}

void SimDriver::Unsubscribe(SubscriptionId id) { subscribers_.Remove(id); }

void SimDriver::EventLoop() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    RunDueEventsLocked();
    if (!notifications_.empty()) {
      const device::DeviceEvent event = std::move(notifications_.front());
      notifications_.pop_front();
      lock.unlock();
      subscribers_.Deliver(event);  // without the driver's lock: the client calls back into the driver
      lock.lock();
      continue;
    }
    if (options_.manualClock || nextEvent_ >= timeline_.size()) {
      eventCv_.wait(lock);
    } else {
      eventCv_.wait_until(lock, RealTimeOf(timeline_[nextEvent_].atMs * 1000));
    }
  }
}

}  // namespace kvx::sim
