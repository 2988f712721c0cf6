#include "device/sim/waveform.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kvx::sim {

namespace {

// One segment of the correction: y = x * slope + intercept. A divisor of 0
// makes ApplyCalibration pass the sample through unchanged.
struct Segment {
  double slope;
  double intercept;
};

Segment MakeSegment(std::uint16_t divisor, std::uint16_t multiplier, std::uint16_t offset) {
  if (divisor == 0) return {1.0, 0.0};
  return {static_cast<double>(multiplier) / divisor, static_cast<double>(offset)};
}

}  // namespace

double SamplePhase(int i) { return (i + 1) * 2.0 * std::numbers::pi / protocol::WAVEFORM_SAMPLES; }

double CountsFromMilliamps(const protocol::ChannelCalibration& record, double milliamps) {
  const double threshold = record.threshold;
  const Segment low = MakeSegment(record.lowDivisor, record.lowMultiplier, record.lowOffset);
  const Segment high = MakeSegment(record.highDivisor, record.highMultiplier, record.highOffset);
  if (low.slope != 0.0) {
    const double x = (milliamps - low.intercept) / low.slope;
    if (x <= threshold) return x;
  }
  if (high.slope != 0.0) {
    const double x = (milliamps - high.intercept) / high.slope;
    if (x > threshold) return x;
  }
  // A record whose segments leave a gap around this value: the nearest count.
  return threshold;
}

WaveformFrame CaptureFrame(const CurrentShape& shape, const protocol::ChannelCalibration& factory) {
  WaveformFrame frame{};
  for (int i = 0; i < protocol::WAVEFORM_SAMPLES; ++i) {
    const double x = CountsFromMilliamps(factory, InstantMilliamps(shape, SamplePhase(i)));
    const double raw = std::clamp(std::round(WAVEFORM_BASELINE + x), 0.0, 65535.0);
    frame[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(raw);
  }
  return frame;
}

}  // namespace kvx::sim
