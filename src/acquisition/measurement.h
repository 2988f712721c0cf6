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
#include "acquisition/sinks.h"
#include "device/protocol.h"

namespace kvx {

// The line quantities as the acquisition thread last converted them (valid or not).
struct LineValues {
  double supplyVolts = 0.0;
  double lineFrequencyHz = 0.0;
  double temperatureC = 0.0;
};

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

// The summary present value of a full averaging window: slots 0..11 combined
// in slot order, each step halving, so slot 11 weighs 1/2.
double CombineAveragingSlots(const std::array<double, 100>& slots);

class Measurement {
 public:
  static constexpr std::uint32_t AVERAGING_LENGTH = 12;

  // `controls` receives the labels and gives the check boxes it reads; `state`
  // holds the statistics. Both outlive the object.
  Measurement(ControlModel& controls, MeasurementState& state, MeasurementRecorder& recorder, WaveformSink& graph);

  Measurement(const Measurement&) = delete;
  Measurement& operator=(const Measurement&) = delete;

  // The correction records of the connection's strip, fetched when it opened.
  void SetCalibration(const std::array<protocol::ChannelCalibration, 4>& calibration) { calibration_ = calibration; }
  // The line quantities of the latest environment refresh.
  void SetLineValues(const LineValues& values) { line_ = values; }

  // An accepted summary reading (low nibble of readingKind 0).
  void ProcessSummaryReading(const protocol::Reading& reading, std::uint32_t arrivalTick);
  // An accepted waveform packet (packetIndex 1..32); packet 32 completes a frame.
  void ProcessWaveformPacket(const protocol::Reading& reading);

  // The present values of the latest summary reading, as logged.
  const std::array<double, 4>& lastPresent() const { return lastPresent_; }
  // The latest summary reading's values as the strip sent them (before averaging).
  const SummaryReadingEvent& lastSummary() const { return lastSummary_; }
  // The value of the latest evaluated waveform (mA or W, as computed, unclamped).
  double lastWaveValue() const { return lastWaveValue_; }
  bool lastWaveIsPower() const { return lastWaveIsPower_; }

 private:
  std::array<double, 4> UpdatePresentValues(const std::array<double, 4>& values);
  void EvaluateFrame(std::uint8_t readingKind);
  void ShowEffectiveCurrent(double current);
  void ShowActivePower(double power);

  ControlModel& controls_;
  MeasurementState& state_;
  MeasurementRecorder& recorder_;
  WaveformSink& graph_;
  std::array<protocol::ChannelCalibration, 4> calibration_{};
  LineValues line_{};
  // Lives as long as the acquisition thread; neither reset touches it.
  std::array<std::array<double, 100>, 4> averagingWindow_{};
  std::uint32_t windowIndex_ = 0;
  std::array<double, 4> lastPresent_{};
  SummaryReadingEvent lastSummary_{};
  double lastWaveValue_ = 0.0;
  bool lastWaveIsPower_ = false;
};

}  // namespace kvx
