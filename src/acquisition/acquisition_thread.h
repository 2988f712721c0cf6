// The acquisition thread: fills the device tree at start, then loops, idling
// while no strip is selected, opening a connection to the selected strip
// (probe, pipe, identity, calibration records, set-event), and reading it one
// 16-byte reading at a time. Before every read it sends changed outlet and
// quantity selections; it refreshes the line quantities with the first reading
// of a connection and then at most once a second, and hands accepted readings
// to Measurement. The user-interface thread steers it only through AppState
// (selectedSerial, selectedOutlet, selectedQuantity, the run flags). While
// nothing is selected it sleeps until a selection or a stop wakes it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "acquisition/app_state.h"
#include "acquisition/measurement.h"
#include "acquisition/sinks.h"
#include "device/clock.h"
#include "device/protocol.h"

namespace kvx {

enum class ConnectionState { Starting, Idle, Opening, Reading, Closing };

// A consistent picture of the thread for the headless status line and tests.
struct AcquisitionStatus {
  ConnectionState state = ConnectionState::Starting;
  bool connected = false;             // a connection is open (Reading)
  std::uint32_t connectionSerial = 0;  // as the strip reported it when the connection opened (the
                                       // listed serial when it did not answer in whole)
  std::uint64_t serialRequestFailures = 0;  // connections whose serial request failed or came back short
  protocol::LineQuantity supplyVolts{};
  protocol::LineQuantity lineFrequencyHz{};
  protocol::LineQuantity temperatureC{};
  std::uint64_t connections = 0;          // connections opened (pipe open, identity read)
  std::uint64_t readings = 0;             // non-empty readings received
  std::uint64_t readingsAccepted = 0;     // handed to the measurement processing
  std::uint64_t readingsDropped = 0;      // refused by the packet-index rule
  std::uint64_t readingsDiscarded = 0;    // first readings after a selection change, and readings
                                          // whose form contradicts the selection last sent
  std::uint64_t emptyReads = 0;           // reads that timed out or transferred 0 bytes
  std::uint64_t environmentRefreshes = 0;
  // Clock ticks: when the connection opened and when its latest non-empty
  // reading came (0: none yet), so a reader can tell a stall from readings.
  std::uint32_t connectedTick = 0;
  std::uint32_t lastReadingTick = 0;
  std::uint64_t waveformFrames = 0;       // completed (packet 32) frames evaluated
};

// Everything the thread learns, for consumers beside the recorder (the metrics
// endpoint; an event journal can listen alike). Called on the acquisition
// thread only, outside its locks; an implementation must not block.
class AcquisitionObserver {
 public:
  virtual ~AcquisitionObserver() = default;
  // A connection's strip identified itself (before its first reading).
  virtual void OnConnectionIdentity(const ConnectionIdentity& /*identity*/) {}
  virtual void OnSummaryReading(const SummaryReadingEvent& /*reading*/) {}
  // A completed waveform frame of `outlet` (1..4): mA of effective current, or W of active power.
  virtual void OnWaveformValue(std::uint8_t /*outlet*/, bool /*power*/, double /*value*/) {}
  // After every change of the status (state, counters, line quantities).
  virtual void OnStatus(const AcquisitionStatus& /*status*/) {}
};

class AcquisitionThread {
 public:
  AcquisitionThread(AppState& state, MeasurementRecorder& recorder, WaveformSink& graph, WindowLink& window,
                    Clock& clock);
  ~AcquisitionThread();

  AcquisitionThread(const AcquisitionThread&) = delete;
  AcquisitionThread& operator=(const AcquisitionThread&) = delete;

  // Launches the thread running ThreadProc(). The caller sets threadRunFlag
  // and readLoopRunFlag first. False when it was started and not stopped
  // since, or when the thread cannot be created.
  bool Start();
  // Clears both run flags, wakes the thread wherever it waits (idle, a read,
  // or a read about to start) and joins. Requests the thread would still make
  // fail at once meanwhile, so this returns within a few milliseconds, or
  // within the bound of a control call in flight. Idempotent.
  void Stop();
  bool Running() const { return thread_.joinable(); }  // started and not yet stopped

  // The thread procedure: the start steps, the outer loop, the thread end.
  // Returns 0 when threadRunFlag is found cleared.
  int ThreadProc();

  AcquisitionStatus Status() const;
  // Set before Start(); nullptr for none. The observer outlives the thread.
  void SetObserver(AcquisitionObserver* observer) { observer_ = observer; }

 private:
  void ThreadStart();
  void OuterPass();
  device::Handle OpenConnection(std::int32_t serial);
  void RunStartupActions();
  void ReadIdentity();
  ConnectionEnd ReadLoop(device::Handle pipe);
  ConnectionEnd WhyReadFailed();
  void SendChangedSelections();
  // False when a stop came meanwhile: nothing of the refresh is kept.
  bool RefreshEnvironment(std::uint32_t arrivalTick);
  void HandleReading(const protocol::Reading& reading, std::uint32_t arrivalTick);
  // The reading's form is not what the selections last sent ask for.
  bool ContradictsSelection(const protocol::Reading& reading) const;
  void EndConnection(device::Handle pipe);
  void BackOffAfter(ConnectionEnd end, std::int32_t serial);
  void SetState(ConnectionState state);
  // Applies `update` to the status under its lock, then tells the observer.
  template <typename Update>
  void UpdateStatus(Update update) {
    AcquisitionStatus copy;
    {
      std::lock_guard lock(statusMutex_);
      update(status_);
      if (!observer_) return;
      copy = status_;
    }
    observer_->OnStatus(copy);
  }

  AppState& state_;
  device::DeviceAccess& device_;
  MeasurementRecorder& recorder_;
  WindowLink& window_;
  Clock& clock_;
  Measurement measurement_;
  std::thread thread_;

  // Handle of the open connection's pipe, for Stop() to wake a pending read.
  // Under its own lock so that Stop() never cancels a handle already closed.
  std::mutex pipeMutex_;
  device::Handle pipe_ = device::INVALID_HANDLE_VALUE;

  static constexpr std::uint8_t NOT_SENT = 0xFF;  // no selection sent yet on this connection

  // Thread-local state, kept for the life of the thread.
  std::uint32_t readEvent_ = 0;
  std::uint8_t lastSentOutlet_ = 0xFF;
  std::uint8_t lastSentQuantity_ = 0xFF;
  bool discardNextReading_ = false;
  std::uint8_t previousPacketIndex_ = 0;  // not reset between connections
  std::int32_t connectionSelection_ = 0;
  std::uint32_t lastEnvironmentTick_ = 0;
  bool environmentDue_ = false;  // the first non-empty reading of a connection refreshes at once
  bool stripGone_ = false;       // a request found the strip gone: the connection ends
  std::uint64_t connectionReadings_ = 0;  // non-empty readings of the current connection
  std::uint32_t failedOpenings_ = 0;      // connections in a row whose reads failed before any reading

  mutable std::mutex statusMutex_;
  AcquisitionStatus status_;
  AcquisitionObserver* observer_ = nullptr;
};

}  // namespace kvx
