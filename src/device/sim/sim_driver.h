// The simulated strip driver: the embedded default backend behind
// device::Driver. It publishes the strips of a Scenario under their interface
// classes, opens their interface paths and "path\PIPE00" (several handles at
// once), answers the three control codes, streams paced readings on pipe
// handles, runs the scenario's timeline and announces arrivals and removals.
//
// Time: the driver's own steady clock, in milliseconds since construction
// (SimOptions::manualClock replaces it by one that only AdvanceClock moves).
// One background thread runs the timeline and calls subscribers, never while
// holding the driver's locks; the destructor stops and joins it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "device/driver.h"
#include "device/subscribers.h"
#include "device/sim/request_trace.h"
#include "device/sim/scenario.h"
#include "device/sim/strip_control.h"
#include "device/sim/strip_device.h"

namespace kvx::sim {

struct SimOptions {
  // Time stands still except for AdvanceClock: tests step through pacing and
  // the timeline exactly. Read time-outs still run on the real clock.
  bool manualClock = false;
  // Control calls kept per strip by RequestLog, oldest dropped first. The log
  // is for inspecting a short exchange (an enumeration, a calibration fetch);
  // a strip polled for hours sends one request after another, so the log is a
  // small ring: about 64 x 155 bytes a strip, whatever the run's length.
  std::size_t requestLogLimit = 64;
};

class SimDriver final : public device::Driver, public StripControl {
 public:
  explicit SimDriver(Scenario scenario = DefaultScenario(), SimOptions options = {});
  ~SimDriver() override;
  SimDriver(const SimDriver&) = delete;
  SimDriver& operator=(const SimDriver&) = delete;

  // ---- device::Driver
  std::unique_ptr<device::InterfaceSet> GetClassDevs(std::string_view classGuid) override;
  device::Handle Open(const std::string& path) override;
  using device::Driver::Control;
  // A reply fault of mode Slow or Hang (see ReplyFault) holds the call on the
  // real clock, without the driver's lock, until its delay, the time-out, the
  // strip's removal or the handle's Close, whichever comes first.
  device::ControlStatus Control(device::Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                                std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                                std::chrono::milliseconds timeout) override;
  device::ReadResult Read(device::Handle handle, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override;
  void CancelRead(device::Handle handle) override;
  void CancelControl(device::Handle handle) override;
  void Close(device::Handle handle) override;
  SubscriptionId Subscribe(std::string_view classGuid, EventCallback callback) override;
  // Once it returns, the callback is not running and will not be called
  // again (unless it is called from within that very callback).
  void Unsubscribe(SubscriptionId id) override;

  // ---- Request trace: one line per control call and per read.
  bool OpenTrace(const std::string& path, std::string& error);
  void SetTrace(std::FILE* file);        // not closed by the driver; null stops tracing
  void SetTrace(std::ostream* stream);   // must outlive its use; null stops tracing
  // Where the end of a failing trace is said (once); null: standard error.
  void SetTraceFailureHandler(TraceSink::FailureHandler handler);
  std::string TraceFailure() const;      // empty while the trace works

  // ---- Time.
  double NowMs() const;

  // ---- Test hooks: the program itself uses none of what follows up to
  // StripControl; the tests, the USB emulator and the benchmarks do.
  // Manual clock only: moves time on, runs the timeline events now due and
  // wakes reads whose reading became due. Returns at once with the real clock.
  void AdvanceClock(std::chrono::milliseconds step);
  // Strips, by index into the scenario's strips.
  std::size_t StripCount() const;
  std::optional<std::size_t> FindStrip(std::uint32_t serial) const;  // the first with that serial
  std::string DevicePath(std::size_t strip) const;
  StripStatus Status(std::size_t strip) const;
  // The working record of an outlet as it lies in the strip's memory now.
  protocol::ChannelCalibration CalibrationRecord(std::size_t strip, int outlet) const;
  // The summary values the strip measures at this moment (state byte and quantity as selected).
  protocol::Reading MeasureSummary(std::size_t strip) const;

  // ---- StripControl: events (also what the timeline does) and faults.
  void Unplug(std::size_t strip) override;
  void Plug(std::size_t strip) override;
  void SetOn(std::size_t strip, bool on) override;
  void Stall(std::size_t strip, std::chrono::milliseconds duration) override;
  void SetLoad(std::size_t strip, int outlet, const LoadSpec& load) override;
  void SetPacing(std::size_t strip, std::uint32_t summaryMs, std::uint32_t waveformMs) override;
  void SetReplyFaults(std::size_t strip, std::vector<ReplyFault> faults) override;
  void SetSilentEnumerationSerial(std::size_t strip, bool silent) override;
  void FlagRecord(std::size_t strip, int outlet) override;
  void SetZeroDivisor(std::size_t strip, int outlet, DivisorFault which) override;
  void SetPacketCorruption(std::size_t strip, std::uint32_t every, std::uint8_t index) override;
  void SetEnumerationErrors(std::vector<EnumerationError> errors) override;

  // ---- Test hooks: inspection (the program uses none of it).
  std::vector<RequestRecord> RequestLog(std::size_t strip) const;
  void ClearRequestLog(std::size_t strip);
  std::uint64_t ReadCount(std::size_t strip) const;  // completed reads of the strip's readings
  int OpenHandleCount() const;
  int PendingReadCount() const;  // reads now waiting
  int PendingControlCount() const;  // control calls now held by a slow reply

 private:
  enum class PipeState { Idle, Armed, Stopped };
  struct HandleState {
    std::size_t strip = 0;
    HandleKind kind = HandleKind::Interface;
    PipeState pipe = PipeState::Idle;
    bool dead = false;               // its strip was unplugged
    int waiting = 0;                 // reads waiting on it
    std::uint64_t cancelCount = 0;   // bumped by CancelRead while reads wait
    bool cancelPending = false;      // CancelRead came while no read waited
    bool controlsCancelled = false;  // CancelControl: its control calls return Gone
  };
  struct StripSlot {
    std::unique_ptr<SimStrip> device;
    std::deque<RequestRecord> log;
    std::uint64_t reads = 0;
  };

  std::int64_t NowUs() const;
  std::chrono::steady_clock::time_point RealTimeOf(std::int64_t simUs) const;
  bool ValidStrip(std::size_t strip) const { return strip < strips_.size(); }
  void UnplugLocked(std::size_t strip);
  void PlugLocked(std::size_t strip);
  void ApplyEventLocked(const TimelineEvent& event);
  void RunDueEventsLocked();
  bool TransferLocked(HandleState& handle, std::span<const std::uint8_t> input, RequestRecord& record,
                      bool faultsDone);
  // Waits out a slow reply; false when the handle died meanwhile or the time-out came first.
  device::ControlStatus AwaitReplyLocked(std::unique_lock<std::mutex>& lock, device::Handle handle,
                                         std::chrono::milliseconds delay, std::chrono::milliseconds timeout);
  device::ControlStatus ControlLocked(std::unique_lock<std::mutex>& lock, device::Handle handle, std::uint32_t code,
                                      std::chrono::milliseconds timeout, RequestRecord& record);
  void LogRequestLocked(std::size_t strip, const RequestRecord& record);
  void TraceRequest(std::optional<std::uint32_t> serial, const RequestRecord& record);
  device::ReadResult FinishRead(std::optional<std::uint32_t> serial, HandleKind on, device::ReadStatus status,
                                std::span<const std::uint8_t> data);
  void EventLoop();

  const SimOptions options_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<std::int64_t> manualUs_{0};
  TraceSink trace_;

  mutable std::mutex mutex_;
  std::condition_variable readCv_;      // reading due, handle state changed, cancel
  std::condition_variable eventCv_;     // the driver thread: notifications queued, time moved, stop
  std::vector<StripSlot> strips_;
  std::vector<EnumerationError> enumerationErrors_;
  std::vector<TimelineEvent> timeline_;  // sorted by time
  std::size_t nextEvent_ = 0;
  std::map<device::Handle, HandleState> handles_;
  device::Handle nextHandle_ = 0x100;
  int pendingReads_ = 0;
  int pendingControls_ = 0;
  device::Subscribers subscribers_;
  std::deque<device::DeviceEvent> notifications_;
  bool stop_ = false;
  std::thread eventThread_;
};

}  // namespace kvx::sim
