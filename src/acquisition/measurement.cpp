#include "acquisition/measurement.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/control_ids.h"

namespace kvx {

using protocol::Reading;
using protocol::WAVEFORM_SAMPLES;

namespace {

constexpr int N = WAVEFORM_SAMPLES;
// One mains period over the 128 samples (2 x 3.141592654 / 128), as the strip's
// sampling assumes; the frame starts one step after the rising zero crossing.
constexpr double ANGLE_STEP = 0.04908738521875;
constexpr double ONE_OVER_N = 0.0078125;  // 1/128

const std::array<double, N>& SineTable() {
  static const std::array<double, N> table = [] {
    std::array<double, N> t{};
    for (int i = 0; i < N; ++i) t[static_cast<std::size_t>(i)] = std::sin((i + 1) * ANGLE_STEP);
    return t;
  }();
  return table;
}

// Raise `stored` to `value` when value is greater (strict); a concurrent reset
// is never overwritten by a value that does not beat the reset value.
void RaiseTo(std::atomic<double>& stored, double value) {
  double current = stored.load();
  while (value > current && !stored.compare_exchange_weak(current, value)) {
  }
}

void LowerTo(std::atomic<double>& stored, double value) {
  double current = stored.load();
  while (value < current && !stored.compare_exchange_weak(current, value)) {
  }
}

double NotBelowZero(double value) { return value > 0.0 ? value : 0.0; }

}  // namespace

// ---------------------------------------------------------------- pure steps

WaveFrame SmoothWaveform(const WaveSamples& w) {
  WaveFrame s{};
  const auto at = [&w](int i) { return w[static_cast<std::size_t>(i)]; };
  for (int i = 0; i < N; ++i) {
    std::int32_t value = 0;
    if (i == 0) {
      value = (at(0) + at(1)) / 2;
    } else if (i == N - 1) {
      value = (at(N - 2) + at(N - 1)) / 2;
    } else if (i == 1 || i == 2 || i == N - 3 || i == N - 2) {
      value = (at(i - 1) + 2 * at(i) + at(i + 1)) / 4;
    } else {
      value = (at(i - 2) + 2 * at(i - 1) + 3 * at(i) + 2 * at(i + 1) + at(i + 2)) / 9;
    }
    s[static_cast<std::size_t>(i)] = static_cast<double>(value);
  }
  return s;
}

WaveRange ScanRange(const WaveFrame& frame) {
  WaveRange range{65535.0, 0.0};
  for (double v : frame) {
    if (v > range.max) range.max = v;
    if (v < range.min) range.min = v;
  }
  return range;
}

WaveFrame CentreAndCorrect(const WaveFrame& smoothed, WaveRange range, std::uint8_t readingKind,
                           const std::array<protocol::ChannelCalibration, 4>& calibration) {
  const double half = (range.max - range.min) * 0.5;
  const bool corrected = readingKind >= 1 && readingKind <= 4;
  WaveFrame y{};
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double x = smoothed[i] - range.min - half;
    y[i] = corrected ? protocol::ApplyCalibration(calibration[readingKind - 1u], x) : x;
  }
  return y;
}

double EffectiveCurrent(const WaveFrame& y) {
  double acc = 0.0;
  for (double v : y) acc = acc + v * v * ONE_OVER_N;
  return std::sqrt(acc);
}

double ActivePower(const WaveFrame& y, double supplyVolts) {
  const double r = std::sqrt(2.0);
  const auto& sine = SineTable();
  double acc = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) acc = acc + y[i] * supplyVolts * r * sine[i] * ONE_OVER_N;
  return acc / 1000.0;
}

void AveragingWindow::Add(const std::array<double, 4>& values, int kind) {
  if (kind != kind_) {
    count_ = 0;
    kind_ = kind;
  }
  if (count_ == 0) next_ = 0;
  ring_[next_] = values;
  next_ = (next_ + 1) % LENGTH;
  if (count_ < LENGTH) ++count_;
}

std::array<double, 4> AveragingWindow::Combined() const {
  // The oldest held reading sits count_ places before next_.
  std::size_t at = (next_ + LENGTH - count_) % LENGTH;
  std::array<double, 4> a = ring_[at];
  for (std::size_t i = 1; i < count_; ++i) {
    at = (at + 1) % LENGTH;
    for (std::size_t k = 0; k < 4; ++k) a[k] = (a[k] + ring_[at][k]) * 0.5;
  }
  return a;
}

// ---------------------------------------------------------------- Measurement

Measurement::Measurement(ControlModel& controls, MeasurementState& state, WaveformSink& graph)
    : controls_(controls), state_(state), graph_(graph) {}

SummaryReadingEvent Measurement::ProcessSummaryReading(const Reading& reading, std::uint32_t arrivalTick,
                                                       const LocalTime& arrivalTime) {
  MeasurementState& m = state_;
  const double d = protocol::SummaryDivisor(reading.readingKind);
  std::array<double, 4> v{};
  for (std::size_t k = 0; k < 4; ++k) {
    v[k] = static_cast<double>(reading.value[k]) / d;
    RaiseTo(m.outletMax[k], v[k]);
    LowerTo(m.outletMin[k], v[k]);
  }
  std::array<double, 4> shownMax{};
  std::array<double, 4> shownMin{};
  for (std::size_t k = 0; k < 4; ++k) {
    shownMax[k] = m.outletMax[k].load();
    shownMin[k] = m.outletMin[k].load();
  }
  const int kind = d == 1.0 ? LOG_KIND_CURRENT : LOG_KIND_POWER;
  const std::array<double, 4> present = UpdatePresentValues(v, kind);

  // One batch, in the order instantaneous, largest, smallest, present, so a
  // reader of the control model sees the sixteen labels of one reading together.
  std::vector<std::pair<int, std::string>> labels;
  labels.reserve(16);
  for (std::size_t k = 0; k < 4; ++k) labels.emplace_back(ids::INSTANTANEOUS_VALUE[k], protocol::FixedText(v[k], 0));
  for (std::size_t k = 0; k < 4; ++k) labels.emplace_back(ids::MAXIMUM_VALUE[k], protocol::FixedText(shownMax[k], 0));
  for (std::size_t k = 0; k < 4; ++k) labels.emplace_back(ids::MINIMUM_VALUE[k], protocol::FixedText(shownMin[k], 0));
  for (std::size_t k = 0; k < 4; ++k) labels.emplace_back(ids::PRESENT_VALUE[k], protocol::FixedText(present[k], 0));
  controls_.SetTexts(labels);

  const bool isOn = (reading.packetIndex & protocol::STATE_ON_BIT) != 0;
  return SummaryReadingEvent{arrivalTick, arrivalTime, kind, kind == LOG_KIND_POWER, isOn, v, present, line_};
}

std::array<double, 4> Measurement::UpdatePresentValues(const std::array<double, 4>& v, int kind) {
  averaging_.Add(v, kind);
  return controls_.IsChecked(ids::AVERAGE_CHECK) ? averaging_.Combined() : v;
}

void Measurement::ProcessWaveformPacket(const Reading& reading) {
  const int p = reading.packetIndex;
  if (p < 1 || p > protocol::WAVEFORM_PACKETS) return;  // the read loop lets only 1..32 through
  auto& samples = state_.waveSamples;
  const auto first = static_cast<std::size_t>(protocol::FirstSampleOfPacket(p));
  for (std::size_t j = 0; j < 4; ++j) samples[first + j] = reading.value[j];
  if (p == protocol::WAVEFORM_PACKETS) EvaluateFrame(reading.readingKind);
}

void Measurement::EvaluateFrame(std::uint8_t readingKind) {
  MeasurementState& m = state_;
  m.analysisFrame = SmoothWaveform(m.waveSamples);
  const WaveRange range = ScanRange(m.analysisFrame);
  m.waveMin.store(range.min);
  m.waveMax.store(range.max);
  // The local range, not the shared fields: the window may set those back to
  // their start values (a new graph bitmap) while this frame is evaluated.
  graph_.DrawWaveform(m.analysisFrame, range.min, range.max);
  const WaveFrame corrected = CentreAndCorrect(m.analysisFrame, range, readingKind, calibration_);
  lastWaveIsPower_ = controls_.IsChecked(ids::WAVE_POWER_RADIO);
  if (lastWaveIsPower_) {
    ShowActivePower(ActivePower(corrected, line_.supplyVolts));
  } else {
    ShowEffectiveCurrent(EffectiveCurrent(corrected));
  }
}

void Measurement::ShowEffectiveCurrent(double current) {
  MeasurementState& m = state_;
  lastWaveValue_ = current;
  RaiseTo(m.rmsCurrentMax, current);
  LowerTo(m.rmsCurrentMin, current);
  controls_.SetTexts({{ids::WAVE_VALUE, protocol::FixedText(current, 2)},
                      {ids::WAVE_MAX, protocol::FixedText(m.rmsCurrentMax.load(), 2)},
                      {ids::WAVE_MIN, protocol::FixedText(m.rmsCurrentMin.load(), 2)}});
}

void Measurement::ShowActivePower(double power) {
  MeasurementState& m = state_;
  lastWaveValue_ = power;
  // The stored extremes keep their sign; only the labels show negative power as 0.
  RaiseTo(m.activePowerMax, power);
  LowerTo(m.activePowerMin, power);
  controls_.SetTexts({{ids::WAVE_VALUE, protocol::FixedText(NotBelowZero(power), 2)},
                      {ids::WAVE_MAX, protocol::FixedText(NotBelowZero(m.activePowerMax.load()), 2)},
                      {ids::WAVE_MIN, protocol::FixedText(NotBelowZero(m.activePowerMin.load()), 2)}});
}

}  // namespace kvx
