// Where the acquisition thread hands its results: the CSV recorder, the
// waveform graph and the window (device tree, notifications, the start-up
// click). Each is implemented by its own folder; tests substitute recorders of
// the calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/clock.h"
#include "device/protocol.h"

namespace kvx {

inline constexpr int LOG_KIND_CURRENT = 1;
inline constexpr int LOG_KIND_POWER = 2;

// Identification of the strip of the current connection, for the CSV files.
struct ConnectionIdentity {
  std::uint32_t connectionSerial = 0;  // as read from the strip at connection start
  std::string serialText;              // "%06X"
  std::string firmwareText;            // "V%X.%XL%02X"
};

// An accepted summary reading as the strip sent it (not averaged).
struct SummaryReadingEvent {
  std::uint32_t arrivalTick = 0;
  bool power = false;  // values in watts; otherwise in milliamperes
  bool isOn = false;
  std::array<double, 4> values{};
};

// Why the open log files are closed; the event journal names it.
enum class CloseReason { Split, LogSwitchedOff, OutletChanged, QuantityChanged, ConnectionEnded, Shutdown };

// Why a connection ended.
enum class ConnectionEnd { Unplugged, ReadFailure, SelectionChanged, Stop };

// The names the event journal uses ("outlet_changed", "unplugged", ...).
constexpr const char* CloseReasonName(CloseReason reason) {
  switch (reason) {
    case CloseReason::Split: return "split";
    case CloseReason::LogSwitchedOff: return "log_switched_off";
    case CloseReason::OutletChanged: return "outlet_changed";
    case CloseReason::QuantityChanged: return "quantity_changed";
    case CloseReason::ConnectionEnded: return "connection_ended";
    case CloseReason::Shutdown: return "shutdown";
  }
  return "unknown";
}
constexpr const char* ConnectionEndName(ConnectionEnd end) {
  switch (end) {
    case ConnectionEnd::Unplugged: return "unplugged";
    case ConnectionEnd::ReadFailure: return "read_failure";
    case ConnectionEnd::SelectionChanged: return "selection_changed";
    case ConnectionEnd::Stop: return "stop";
  }
  return "unknown";
}

class MeasurementRecorder {
 public:
  virtual ~MeasurementRecorder() = default;
  // Acquisition thread start: the record-interval and split timers start at this tick.
  virtual void StartTimers(std::uint32_t startTick) = 0;
  // Acquisition thread, at every connection start, before any record of it.
  virtual void SetConnectionIdentity(const ConnectionIdentity& identity) = 0;
  // Acquisition thread, once per processed summary reading.
  virtual void LogSummaryReading(std::uint32_t arrivalTick, const LocalTime& readingTime, int kind, bool isOn,
                                 const std::array<double, 4>& present, double supplyVolts, double lineFrequencyHz,
                                 double temperatureC) = 0;
  // Either thread.
  virtual void CloseLogFiles(CloseReason reason) = 0;

  // For the event journal; the acquisition thread calls them, a recorder
  // without a journal ignores them.
  // After SetConnectionIdentity, once the connection reads.
  virtual void ConnectionStarted() {}
  virtual void ConnectionEnded(ConnectionEnd /*end*/) {}
  // One run of `count` consecutive reads that brought nothing, told when it
  // ends (a reading came, or the connection ended); ticks of its first and last.
  virtual void ReadTimeouts(std::uint64_t /*count*/, std::uint32_t /*firstTick*/, std::uint32_t /*lastTick*/) {}
  // A request of the connection failed (`request` "REQ_VOLTAGE", ...; `why`
  // "failed", "short reply (1 of 2 bytes)"): explains a 000 in a record.
  virtual void RequestFailed(const std::string& /*request*/, const std::string& /*why*/) {}
  // Connections fail at once after they open (`why`), and the next attempt
  // waits `retryMs`; told when such a run begins, not at every attempt.
  virtual void ConnectionFailing(const std::string& /*why*/, std::uint32_t /*retryMs*/) {}
};

class WaveformSink {
 public:
  virtual ~WaveformSink() = default;
  // Acquisition thread, for every completed frame of smoothed samples.
  virtual void DrawWaveform(const std::array<double, protocol::WAVEFORM_SAMPLES>& frame, double waveMin,
                            double waveMax) = 0;
};

class WindowLink {
 public:
  virtual ~WindowLink() = default;
  // Acquisition thread start: one call per strip position found (1-based).
  virtual void AddStripToTree(const std::string& label, int position) = 0;
  // Acquisition thread start, after the tree is filled.
  virtual void RegisterInterfaceNotifications() = 0;
  // Start-up action at the first connection: a click at the tree's client point (0, 0).
  virtual void ClickDeviceTree() = 0;
};

// What the rebuild after a strip's arrival or removal does to a device tree,
// on the thread that owns the tree. The window's tree implements it; headless
// mode has no tree.
class TreeRebuildTarget {
 public:
  virtual ~TreeRebuildTarget() = default;
  // Deletes every strip position's nodes (children before parents) and sets
  // the view back to "nothing selected".
  virtual void DeleteAllStripItems() = 0;
  virtual void AddStripToTree(const std::string& label, int position) = 0;
};

}  // namespace kvx
