// Turns accepted readings into the values of the main window: the four-outlet
// summary (instantaneous, largest, smallest and present values, the averaging
// window, the CSV record) and the one-outlet waveform (smoothing, range,
// drawing, centring, calibration, effective current or active power with their
// extremes). Runs on the acquisition thread; the statistics it keeps live in
// AppState::measurement so that the user-interface thread can reset them.
#pragma once

#include <array>
#include <cstdint>

#include "acquisition/app_state.h"
#include "acquisition/listener.h"
#include "acquisition/sinks.h"
#include "device/protocol.h"

namespace kvx {

using WaveFrame = std::array<double, protocol::WAVEFORM_SAMPLES>;
using WaveSamples = std::array<std::int32_t, protocol::WAVEFORM_SAMPLES>;

// ---- The waveform evaluation as pure steps (also used by the benchmark).

// Integer smoothing of the raw samples: a two-point mean at the ends, a 1-2-1
// kernel next to them and a 1-2-3-2-1 kernel elsewhere, each in signed 32-bit
// arithmetic truncating toward zero.
WaveFrame SmoothWaveform(const WaveSamples& samples);

struct WaveRange {
  double min = 0.0;
  double max = 0.0;
};
// Scans from a minimum of 65535 and a maximum of 0; strict comparisons.
WaveRange ScanRange(const WaveFrame& frame);

// Subtracts the middle of the range, then corrects each sample with the record
// of outlet `readingKind` (1..4); any other kind passes the samples unchanged.
WaveFrame CentreAndCorrect(const WaveFrame& smoothed, WaveRange range, std::uint8_t readingKind,
                           const std::array<protocol::ChannelCalibration, 4>& calibration);

// Root mean square of the corrected samples, in mA.
double EffectiveCurrent(const WaveFrame& corrected);
// Mean of current sample x ideal voltage sine (amplitude sqrt(2) x supplyVolts,
// rising zero crossing one sample before the frame), / 1000: watts.
double ActivePower(const WaveFrame& corrected, double supplyVolts);

// The summary present values over the most recent readings of one connection
// and one quantity, in the order they arrived: a = the oldest, then for each
// newer one a = (a + v) x 0.5, so the newest weighs one half. Readings of
// another quantity or connection, and places never filled, take no part, so a
// steady load shows its value from the first reading on.
class AveragingWindow {
 public:
  static constexpr std::size_t LENGTH = 12;
  // A new connection: nothing held.
  void Clear() { count_ = 0; }
  // One reading of `kind` (LOG_KIND_CURRENT or LOG_KIND_POWER); a reading of
  // another kind than those held starts the window again.
  void Add(const std::array<double, 4>& values, int kind);
  // The combined values of the readings held (the values themselves for one).
  std::array<double, 4> Combined() const;
  std::size_t count() const { return count_; }

 private:
  std::array<std::array<double, 4>, LENGTH> ring_{};
  std::size_t next_ = 0;   // where the next reading goes
  std::size_t count_ = 0;  // readings held, up to LENGTH
  int kind_ = 0;
};

class Measurement {
 public:
  // `controls` receives the labels and gives the check boxes it reads; `state`
  // holds the statistics. Both outlive the object.
  Measurement(ControlModel& controls, MeasurementState& state, WaveformSink& graph);

  Measurement(const Measurement&) = delete;
  Measurement& operator=(const Measurement&) = delete;

  // The correction records of the connection's strip, fetched when it opened.
  void SetCalibration(const std::array<protocol::ChannelCalibration, 4>& calibration) { calibration_ = calibration; }
  // A connection opened: the averaging starts again.
  void StartConnection() { averaging_.Clear(); }
  // The line quantities of the latest environment refresh.
  void SetLineValues(const LineValues& values) { line_ = values; }

  // An accepted summary reading (low nibble of readingKind 0) that arrived
  // at `arrivalTick`, local time `arrivalTime`: the labels, and the event
  // the listeners hear.
  SummaryReadingEvent ProcessSummaryReading(const protocol::Reading& reading, std::uint32_t arrivalTick,
                                            const LocalTime& arrivalTime);
  // An accepted waveform packet (packetIndex 1..32); packet 32 completes a frame.
  void ProcessWaveformPacket(const protocol::Reading& reading);

  // The value of the latest evaluated waveform (mA or W, as computed, unclamped).
  double lastWaveValue() const { return lastWaveValue_; }
  bool lastWaveIsPower() const { return lastWaveIsPower_; }

 private:
  std::array<double, 4> UpdatePresentValues(const std::array<double, 4>& values, int kind);
  void EvaluateFrame(std::uint8_t readingKind);
  void ShowEffectiveCurrent(double current);
  void ShowActivePower(double power);

  ControlModel& controls_;
  MeasurementState& state_;
  WaveformSink& graph_;
  std::array<protocol::ChannelCalibration, 4> calibration_{};
  LineValues line_{};
  // Filled whether averaging is shown or not, so switching it on averages
  // readings already received; neither reset touches it.
  AveragingWindow averaging_;
  double lastWaveValue_ = 0.0;
  bool lastWaveIsPower_ = false;
};

}  // namespace kvx
