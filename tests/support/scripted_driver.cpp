#include "support/scripted_driver.h"

#include <algorithm>

#include "device/held_reply.h"

namespace kvx::test {

using namespace kvx::protocol;

namespace {
class ScriptedSet : public device::InterfaceSet {
 public:
  ScriptedSet(std::vector<std::optional<std::string>> paths, std::set<std::uint32_t> errors)
      : paths_(std::move(paths)), errors_(std::move(errors)) {}
  device::EnumStatus EnumInterface(std::uint32_t index) override {
    if (errors_.count(index)) return device::EnumStatus::Error;
    return index < paths_.size() ? device::EnumStatus::Ok : device::EnumStatus::NoMoreItems;
  }
  std::optional<std::string> InterfaceDetailPath(std::uint32_t index) override {
    return index < paths_.size() ? paths_[index] : std::nullopt;
  }

 private:
  std::vector<std::optional<std::string>> paths_;
  std::set<std::uint32_t> errors_;
};
}  // namespace

ScriptedDriver::ScriptedDriver() : reply_(DefaultReply) {}

std::optional<std::vector<std::uint8_t>> ScriptedDriver::DefaultReply(std::uint32_t serial, const SetupFields& s) {
  switch (s.bRequest) {
    case REQ_SERIAL_NUMBER:
      return std::vector<std::uint8_t>{std::uint8_t(serial >> 16), std::uint8_t(serial >> 8), std::uint8_t(serial)};
    case REQ_FIRMWARE_VERSION: return std::vector<std::uint8_t>{0x10, 0x20};
    case REQ_READ_MEMORY:
      if (s.wValue == PAGE_SELECTOR_PAGE && s.wIndex == PAGE_SELECTOR_OFFSET)
        return std::vector<std::uint8_t>{0, 0, 0, 1, 0, 0, 0, 0};
      return std::vector<std::uint8_t>(8, 0);
    case REQ_VOLTAGE: return std::vector<std::uint8_t>{100};
    case REQ_LINE_PERIOD: return std::vector<std::uint8_t>{0x40, 0x9C, 0, 0, 0, 0, 0, 0};  // 40000
    case REQ_TEMPERATURE: return std::vector<std::uint8_t>{0xE6, 0x09};                   // 2534
    default: return std::vector<std::uint8_t>{};
  }
}

void ScriptedDriver::AddStrip(ScriptedStrip strip) {
  std::lock_guard lock(mutex_);
  strips_.push_back(std::move(strip));
}

void ScriptedDriver::SetPresent(std::uint32_t serial, bool present) {
  std::lock_guard lock(mutex_);
  for (auto& s : strips_)
    if (s.serial == serial) s.present = present;
  if (!present) {
    // Handles of a strip that is gone fail from now on, also after it comes back.
    for (auto& [handle, open] : handles_)
      if (open.serial == serial) open.dead = true;
    readable_.notify_all();
  }
}

void ScriptedDriver::SetReplyDelay(std::uint8_t bRequest, std::optional<std::chrono::milliseconds> delay) {
  std::lock_guard lock(mutex_);
  replyDelays_[bRequest] = delay;
}

int ScriptedDriver::PendingReads() const {
  std::lock_guard lock(mutex_);
  return pendingReads_;
}

int ScriptedDriver::PendingControls() const {
  std::lock_guard lock(mutex_);
  return pendingControls_;
}

void ScriptedDriver::SetReply(ReplyFn reply) {
  std::lock_guard lock(mutex_);
  reply_ = std::move(reply);
}

void ScriptedDriver::SetOutResult(OutResultFn result) {
  std::lock_guard lock(mutex_);
  outResult_ = std::move(result);
}

void ScriptedDriver::SetEnumErrorIndexes(std::set<std::uint32_t> indexes) {
  std::lock_guard lock(mutex_);
  enumErrors_ = std::move(indexes);
}

void ScriptedDriver::QueueRead(std::uint32_t serial, ScriptedRead read) {
  std::lock_guard lock(mutex_);
  reads_[serial].push_back(read);
  readable_.notify_all();
}

void ScriptedDriver::SetIdleRead(std::optional<ScriptedRead> read) {
  std::lock_guard lock(mutex_);
  idleRead_ = read;
  readable_.notify_all();
}

void ScriptedDriver::Announce(const device::DeviceEvent& event) {
  std::vector<SubscriptionId> targets;
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, sub] : subscribers_)
      if (sub.first == event.classGuid) targets.push_back(id);
  }
  for (const SubscriptionId id : targets) {
    EventCallback callback;
    std::multimap<SubscriptionId, std::thread::id>::iterator running;
    {
      std::lock_guard lock(mutex_);
      const auto it = subscribers_.find(id);
      if (it == subscribers_.end()) continue;  // unsubscribed meanwhile
      callback = it->second.second;
      running = delivering_.emplace(id, std::this_thread::get_id());
    }
    callback(event);  // without the lock: callbacks call back into the driver
    {
      std::lock_guard lock(mutex_);
      delivering_.erase(running);
    }
    delivered_.notify_all();
  }
}

std::vector<ControlCall> ScriptedDriver::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void ScriptedDriver::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

std::vector<std::string> ScriptedDriver::OpenAttempts() const {
  std::lock_guard lock(mutex_);
  return openAttempts_;
}

std::vector<std::string> ScriptedDriver::ClassQueries() const {
  std::lock_guard lock(mutex_);
  return classQueries_;
}

int ScriptedDriver::OpenHandles() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(handles_.size());
}

int ScriptedDriver::ReadCount() const {
  std::lock_guard lock(mutex_);
  return readCount_;
}

bool ScriptedDriver::AliveLocked(device::Handle handle) const {
  const auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.dead) return false;
  const std::uint32_t serial = it->second.serial;
  return std::any_of(strips_.begin(), strips_.end(),
                     [&](const ScriptedStrip& s) { return s.serial == serial && s.present; });
}

const ScriptedStrip* ScriptedDriver::FindByPathLocked(const std::string& path) const {
  for (const auto& s : strips_)
    if (s.present && s.path == path) return &s;
  return nullptr;
}

std::unique_ptr<device::InterfaceSet> ScriptedDriver::GetClassDevs(std::string_view classGuid) {
  std::lock_guard lock(mutex_);
  classQueries_.emplace_back(classGuid);
  std::vector<std::optional<std::string>> paths;
  for (const auto& s : strips_)
    if (s.present && s.classGuid == classGuid)
      paths.push_back(s.detailReadable ? std::optional<std::string>(s.path) : std::nullopt);
  return std::make_unique<ScriptedSet>(std::move(paths), enumErrors_);
}

device::Handle ScriptedDriver::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  openAttempts_.push_back(path);
  const std::string suffix = std::string(1, device::PIPE_SEPARATOR) + PIPE_NAME;
  const bool pipe = path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
  const ScriptedStrip* strip = FindByPathLocked(pipe ? path.substr(0, path.size() - suffix.size()) : path);
  if (!strip || !(pipe ? strip->pipeOpenable : strip->openable)) return device::INVALID_HANDLE_VALUE;
  const device::Handle handle = nextHandle_++;
  handles_[handle] = OpenHandle{strip->serial, pipe};
  return handle;
}

device::ControlStatus ScriptedDriver::Control(device::Handle handle, std::uint32_t code,
                                             std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                             std::uint32_t& bytesReturned, std::chrono::milliseconds timeout) {
  using device::ControlStatus;
  std::unique_lock lock(mutex_);
  bytesReturned = 0;
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return ControlStatus::Gone;
  ControlCall call;
  call.serial = it->second.serial;
  call.onPipe = it->second.pipe;
  call.code = code;
  call.input.assign(in.begin(), in.end());  // consumed before `out` is written: they may overlap
  if (code == IOCTL_STRIP_CONTROL_TRANSFER && in.size() >= 8)
    call.setup = ParseSetupPacket(std::span<const std::uint8_t, 8>(call.input.data(), 8));
  calls_.push_back(call);
  if (!AliveLocked(handle)) return ControlStatus::Gone;
  if (code == IOCTL_STRIP_STOP || code == IOCTL_STRIP_SET_EVENT) return ControlStatus::Ok;
  if (code != IOCTL_STRIP_CONTROL_TRANSFER || in.size() < 8) return ControlStatus::Refused;
  if (const auto delay = replyDelays_.find(call.setup.bRequest); delay != replyDelays_.end()) {
    const ControlStatus waited = AwaitReplyLocked(lock, handle, delay->second, timeout);
    if (waited != ControlStatus::Ok) return waited;
  }
  const auto strip = std::find_if(strips_.begin(), strips_.end(),
                                  [&](const ScriptedStrip& s) { return s.serial == call.serial; });
  if (call.setup.bRequest == REQ_SERIAL_NUMBER && !call.onPipe && !strip->answersSerial) return ControlStatus::Refused;
  const auto verdict = [](bool ok) { return ok ? ControlStatus::Ok : ControlStatus::Refused; };
  if (call.setup.bmRequestType != REQUEST_TYPE_IN) {
    const OutResultFn outResult = outResult_;
    lock.unlock();  // callbacks run without the driver's lock, like replies
    return verdict(!outResult || outResult(call.serial, call.setup));
  }
  ReplyFn reply = reply_;
  const std::uint32_t serial = call.serial;
  const SetupFields setup = call.setup;
  lock.unlock();
  const auto data = reply(serial, setup);
  if (!data) return ControlStatus::Refused;
  const std::size_t n = std::min<std::size_t>({data->size(), out.size(), setup.wLength});
  std::copy_n(data->begin(), n, out.begin());
  bytesReturned = static_cast<std::uint32_t>(n);
  return ControlStatus::Ok;
}

device::ControlStatus ScriptedDriver::AwaitReplyLocked(std::unique_lock<std::mutex>& lock, device::Handle handle,
                                                       std::optional<std::chrono::milliseconds> delay,
                                                       std::chrono::milliseconds timeout) {
  ++pendingControls_;
  const device::ControlStatus status =
      device::AwaitHeldReply(lock, readable_, delay.value_or(std::chrono::milliseconds::max()), timeout,
                             [&] { return AliveLocked(handle) && !handles_.at(handle).controlsCancelled; });
  --pendingControls_;
  return status;
}

device::ReadResult ScriptedDriver::Read(device::Handle handle, std::span<std::uint8_t> buffer,
                                        std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ++readCount_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto it = handles_.find(handle);
    if (it == handles_.end() || !it->second.pipe) return {device::ReadStatus::Failed, 0};
    const std::uint32_t serial = it->second.serial;
    const auto strip = std::find_if(strips_.begin(), strips_.end(),
                                    [&](const ScriptedStrip& s) { return s.serial == serial; });
    if (strip == strips_.end() || !strip->present || it->second.dead) return {device::ReadStatus::Failed, 0};
    if (it->second.cancelled) {
      it->second.cancelled = false;
      return {device::ReadStatus::Cancelled, 0};
    }
    auto& queue = reads_[serial];
    std::optional<ScriptedRead> next;
    if (!queue.empty()) {
      next = queue.front();
      queue.pop_front();
    } else if (idleRead_) {
      next = idleRead_;
    }
    if (next) {
      if (next->kind == ScriptedRead::Kind::Fail) return {device::ReadStatus::Failed, 0};
      const std::size_t n = std::min<std::size_t>(next->length, buffer.size());
      std::copy_n(next->bytes.begin(), n, buffer.begin());
      return {device::ReadStatus::Completed, static_cast<std::uint32_t>(n)};
    }
    ++pendingReads_;
    const std::cv_status woke = readable_.wait_until(lock, deadline);
    --pendingReads_;
    if (woke == std::cv_status::timeout) return {device::ReadStatus::TimedOut, 0};
  }
}

void ScriptedDriver::CancelControl(device::Handle handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  it->second.controlsCancelled = true;
  readable_.notify_all();
}

void ScriptedDriver::CancelRead(device::Handle handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle);
  if (it != handles_.end()) it->second.cancelled = true;
  readable_.notify_all();
}

void ScriptedDriver::Close(device::Handle handle) {
  std::lock_guard lock(mutex_);
  handles_.erase(handle);
  readable_.notify_all();
}

device::Driver::SubscriptionId ScriptedDriver::Subscribe(std::string_view classGuid, EventCallback callback) {
  std::lock_guard lock(mutex_);
  const SubscriptionId id = nextSubscription_++;
  subscribers_[id] = {std::string(classGuid), std::move(callback)};
  return id;
}

void ScriptedDriver::Unsubscribe(SubscriptionId id) {
  std::unique_lock lock(mutex_);
  subscribers_.erase(id);
  // Wait for runs of this callback on other threads; one on this thread is the caller itself.
  delivered_.wait(lock, [&] {
    const auto [first, last] = delivering_.equal_range(id);
    return std::all_of(first, last, [](const auto& run) { return run.second == std::this_thread::get_id(); });
  });
}

void ScriptedDriver::SetUnlockCode(std::optional<device::AccessCode> code) {
  std::lock_guard lock(mutex_);
  unlockCode_ = code;
}

std::optional<device::AccessCode> ScriptedDriver::UnlockCode() const {
  std::lock_guard lock(mutex_);
  return unlockCode_;
}

}  // namespace kvx::test
