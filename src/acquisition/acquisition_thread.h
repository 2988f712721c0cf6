// The acquisition thread: fills the device tree at start, then loops, idling
// while no strip is selected, opening a connection to the selected strip
// (probe, pipe, identity, calibration records, set-event), and reading it one
// 16-byte reading at a time. Before every read it sends changed outlet and
// quantity selections; it refreshes the line quantities with the first reading
// of a connection and then at most once a second, and hands accepted readings
// to Measurement. The user-interface thread steers it only through AppState
// (selection, selectedOutlet, selectedQuantity, the run flags). While
// nothing is selected it sleeps until a selection or a stop wakes it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "acquisition/app_state.h"
#include "acquisition/listener.h"
#include "acquisition/measurement.h"
#include "acquisition/sinks.h"
#include "device/clock.h"
#include "device/protocol.h"

namespace kvx {

class AcquisitionThread {
 public:
  AcquisitionThread(AppState& state, WaveformSink& graph, WindowLink& window, Clock& clock);
  ~AcquisitionThread();

  AcquisitionThread(const AcquisitionThread&) = delete;
  AcquisitionThread& operator=(const AcquisitionThread&) = delete;

  // Launches the thread running ThreadProc(). The caller sets threadRunFlag
  // and readLoopRunFlag first. False when it was started and not stopped
  // since, or when the thread cannot be created.
  bool Start();
  // Clears both run flags, wakes the thread wherever it waits (idle, a read,
  // a read about to start, a control call in flight) and joins. Requests the
  // thread would still make fail at once meanwhile, so this returns within a
  // few milliseconds. Idempotent.
  void Stop();
  bool Running() const { return thread_.joinable(); }  // started and not yet stopped

  // The thread procedure: the start steps, the outer loop, the thread end.
  // Returns 0 when threadRunFlag is found cleared.
  int ThreadProc();

  AcquisitionStatus Status() const;
  // Registers a listener of the thread's events, before Start(); listeners
  // hear each event in the order they were added and outlive the thread.
  void AddListener(AcquisitionListener& listener) { listeners_.Add(listener); }

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
  void HandleReading(const protocol::Reading& reading, std::uint32_t arrivalTick, const LocalTime& arrivalTime);
  // The reading's form is not what the selections last sent ask for.
  bool ContradictsSelection(const protocol::Reading& reading) const;
  void EndConnection(device::Handle pipe);
  void BackOffAfter(ConnectionEnd end, std::int32_t serial);
  void SetState(ConnectionState state);
  // Applies `update` to the status under its lock, then tells the listeners.
  template <typename Update>
  void UpdateStatus(Update update) {
    AcquisitionStatus copy;
    {
      std::lock_guard lock(statusMutex_);
      update(status_);
      if (listeners_.empty()) return;
      copy = status_;
    }
    listeners_.Tell(&AcquisitionListener::OnStatus, copy);
  }
  void EndReadTimeouts(ReadTimeoutsEvent& run);
  void Break(CloseReason reason) { listeners_.Tell(&AcquisitionListener::OnSeriesBreak, SeriesBreakEvent{reason}); }

  AppState& state_;
  device::DeviceAccess& device_;
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
  ConnectionIdentity identity_;  // of the present connection, read when it opened
  std::uint32_t lastEnvironmentTick_ = 0;
  bool environmentDue_ = false;  // the first non-empty reading of a connection refreshes at once
  bool stripGone_ = false;       // a request found the strip gone: the connection ends
  std::uint64_t connectionReadings_ = 0;  // non-empty readings of the current connection
  std::uint32_t failedOpenings_ = 0;      // connections in a row whose reads failed before any reading

  mutable std::mutex statusMutex_;
  AcquisitionStatus status_;
  ListenerList listeners_;  // acquisition thread only, once started
};

}  // namespace kvx
