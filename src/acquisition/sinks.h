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
  virtual void CloseLogFiles() = 0;
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
