// Where the acquisition thread hands its results beside its listeners
// (listener.h): the waveform graph and the window (device tree,
// notifications, the start-up click), and the records the events share.
// Each is implemented by its own folder; tests substitute recorders of the
// calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "acquisition/outlet_names.h"

#include "device/clock.h"
#include "device/protocol.h"

namespace kvx {

inline constexpr int LOG_KIND_CURRENT = 1;
inline constexpr int LOG_KIND_POWER = 2;

// Identification of the strip of the current connection, for the CSV files,
// and the names its outlets are given.
struct ConnectionIdentity {
  std::uint32_t connectionSerial = 0;  // as read from the strip at connection start
  std::string serialText;              // "%06X"
  std::string firmwareText;            // "V%X.%XL%02X"
  OutletNames outletNames{};           // empty ones where none is given
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
