#include "device/backends/tracing_driver.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "device/sim/request_trace.h"

namespace kvx::device {

namespace {

class TracingDriver final : public Driver {
 public:
  explicit TracingDriver(std::unique_ptr<Driver> inner);

  // Opens the trace file (truncated); false with `error` set when it cannot
  // take a trace. A trace that fails later ends with its last whole line and
  // is said once.
  bool OpenTrace(const std::string& path, std::string& error);

  std::unique_ptr<InterfaceSet> GetClassDevs(std::string_view classGuid) override {
    return inner_->GetClassDevs(classGuid);
  }
  Handle Open(const std::string& path) override;
  using Driver::Control;
  ControlStatus Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                        std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                        std::chrono::milliseconds timeout) override;
  ReadResult Read(Handle handle, std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override;
  void CancelRead(Handle handle) override { inner_->CancelRead(handle); }
  void CancelControl(Handle handle) override { inner_->CancelControl(handle); }
  void Close(Handle handle) override;
  SubscriptionId Subscribe(std::string_view classGuid, EventCallback callback) override {
    return inner_->Subscribe(classGuid, std::move(callback));
  }
  void Unsubscribe(SubscriptionId id) override { inner_->Unsubscribe(id); }
  std::optional<AccessCode> UnlockCode() const override { return inner_->UnlockCode(); }

 private:
  struct HandleInfo {
    std::string path;  // the interface path (without the pipe's name)
    bool pipe = false;
  };
  // The handle's kind and its strip's serial, as far as known.
  std::pair<sim::HandleKind, std::optional<std::uint32_t>> Describe(Handle handle);
  void WriteLine(const std::string& line);
  double NowMs() const;

  const std::unique_ptr<Driver> inner_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  sim::TraceSink sink_;
  std::mutex mutex_;  // handles_, serials_, the sequence number and the order of lines
  std::map<Handle, HandleInfo> handles_;
  std::map<std::string, std::uint32_t> serials_;  // by interface path
  std::uint64_t sequence_ = 0;
};

TracingDriver::TracingDriver(std::unique_ptr<Driver> inner) : inner_(std::move(inner)) {}

bool TracingDriver::OpenTrace(const std::string& path, std::string& error) { return sink_.OpenFile(path, error); }

double TracingDriver::NowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

Handle TracingDriver::Open(const std::string& path) {
  const Handle handle = inner_->Open(path);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  const std::string pipeSuffix = std::string(1, PIPE_SEPARATOR) + protocol::PIPE_NAME;
  HandleInfo info;
  info.pipe = path.size() > pipeSuffix.size() && path.ends_with(pipeSuffix);
  info.path = info.pipe ? path.substr(0, path.size() - pipeSuffix.size()) : path;
  std::lock_guard lock(mutex_);
  handles_[handle] = std::move(info);
  return handle;
}

void TracingDriver::Close(Handle handle) {
  inner_->Close(handle);
  std::lock_guard lock(mutex_);
  handles_.erase(handle);
}

std::pair<sim::HandleKind, std::optional<std::uint32_t>> TracingDriver::Describe(Handle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return {sim::HandleKind::Unknown, std::nullopt};
  const auto serial = serials_.find(it->second.path);
  return {it->second.pipe ? sim::HandleKind::Pipe : sim::HandleKind::Interface,
          serial == serials_.end() ? std::nullopt : std::optional<std::uint32_t>(serial->second)};
}

void TracingDriver::WriteLine(const std::string& line) {
  // Under mutex_: the sequence numbers follow the order of the lines.
  sink_.Write(line + " seq=" + std::to_string(++sequence_));
}

ControlStatus TracingDriver::Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                                     std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                                     std::chrono::milliseconds timeout) {
  if (!sink_.Enabled()) return inner_->Control(handle, code, in, out, bytesReturned, timeout);
  // Copied first: `in` and `out` may be one buffer.
  sim::RequestRecord record;
  record.code = code;
  record.input.assign(in.begin(), in.end());
  if (code == protocol::IOCTL_STRIP_CONTROL_TRANSFER && in.size() >= 8)
    record.setup = protocol::ParseSetupPacket(in.first<8>());
  const ControlStatus status = inner_->Control(handle, code, in, out, bytesReturned, timeout);
  record.timeMs = NowMs();
  record.ok = status == ControlStatus::Ok;
  record.bytesReturned = bytesReturned;
  const std::size_t replied = std::min<std::size_t>(bytesReturned, out.size());
  record.reply.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(replied));
  std::lock_guard lock(mutex_);
  // A strip's serial, from its answer to the serial-number request, names
  // every handle of its path from now on.
  const auto it = handles_.find(handle);
  if (record.ok && record.setup && record.setup->bmRequestType == protocol::REQUEST_TYPE_IN &&
      record.setup->bRequest == protocol::REQ_SERIAL_NUMBER && replied >= protocol::SERIAL_NUMBER_LENGTH &&
      it != handles_.end()) {
    serials_[it->second.path] = protocol::DecodeSerialNumber(std::span<const std::uint8_t, 3>(out.data(), 3));
  }
  const auto [kind, serial] = Describe(handle);
  record.on = kind;
  WriteLine(sim::FormatRequestLine(serial, record));
  return status;
}

ReadResult TracingDriver::Read(Handle handle, std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
  const ReadResult result = inner_->Read(handle, buffer, timeout);
  if (!sink_.Enabled()) return result;
  sim::ReadRecord record;
  record.timeMs = NowMs();
  record.status = result.status;
  record.bytes = result.bytes;
  const std::size_t n = std::min<std::size_t>(result.bytes, buffer.size());
  record.data.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  std::lock_guard lock(mutex_);
  const auto [kind, serial] = Describe(handle);
  record.on = kind;
  WriteLine(sim::FormatReadLine(serial, record));
  return result;
}

}  // namespace

std::unique_ptr<Driver> MakeTracingDriver(std::unique_ptr<Driver> inner, const std::string& path, std::string& error) {
  auto tracing = std::make_unique<TracingDriver>(std::move(inner));
  if (!tracing->OpenTrace(path, error)) return nullptr;
  return tracing;
}

}  // namespace kvx::device
