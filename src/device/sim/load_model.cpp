#include "device/sim/load_model.h"

#include <cmath>
#include <numbers>

namespace kvx::sim {

namespace {

constexpr double PI = std::numbers::pi;

double Radians(double degrees) { return degrees * PI / 180.0; }

// Each pulse is a raised cosine cos^2(pi u / w), |u| < w / 2, around its centre.
// Over a period its mean square is 3w / (8 pi).
double PulseMeanSquare(double width) { return 3.0 * width / (8.0 * PI); }

// Mean of g(theta) * sin(theta) for the pulse pair g (positive pulse centred
// at pi/2 + lag, negative one half a period later):
// cos(lag) sin(w/2) k^2 / (pi (k^2 - 1)) with k = 2 pi / w.
double PulseMeanSine(double width, double lag) {
  const double k = 2.0 * PI / width;
  return std::cos(lag) * std::sin(width / 2.0) * k * k / (PI * (k * k - 1.0));
}

// Angle difference folded into (-pi, pi].
double Wrap(double angle) {
  double a = std::fmod(angle, 2.0 * PI);
  if (a <= -PI) a += 2.0 * PI;
  if (a > PI) a -= 2.0 * PI;
  return a;
}

double PulseAt(double u, double width) {
  if (std::abs(u) >= width / 2.0) return 0.0;
  const double c = std::cos(PI * u / width);
  return c * c;
}

// Peak of the sine whose RMS current or active power is `rating`.
double SinePeak(const LoadSpec& load, double volts, double lag) {
  if (load.unit == RatingUnit::Milliamps) return load.rating * std::numbers::sqrt2;
  const double denominator = volts * std::cos(lag);
  if (denominator <= 0.0) return 0.0;  // no voltage: a load rated in watts draws nothing
  return 1000.0 * load.rating / denominator * std::numbers::sqrt2;
}

double PulsePeak(const LoadSpec& load, double volts, double width, double lag) {
  if (load.unit == RatingUnit::Milliamps) return load.rating / std::sqrt(PulseMeanSquare(width));
  const double perMilliamp = std::numbers::sqrt2 * volts * PulseMeanSine(width, lag);
  if (perMilliamp <= 0.0) return 0.0;
  return 1000.0 * load.rating / perMilliamp;
}

}  // namespace

bool IsRunning(const LoadSpec& load, double timeMs) {
  if (load.type != LoadType::Compressor || load.cycleMs <= 0) return true;
  const double cycle = static_cast<double>(load.cycleMs);
  double position = std::fmod(timeMs - static_cast<double>(load.cycleOffsetMs), cycle);
  if (position < 0.0) position += cycle;
  return position < load.duty * cycle;
}

CurrentShape ShapeAt(const LoadSpec& load, double volts, double timeMs) {
  CurrentShape shape;
  if (load.rating <= 0.0 || !IsRunning(load, timeMs)) return shape;
  switch (load.type) {
    case LoadType::Empty: return shape;
    case LoadType::Heater:
    case LoadType::Compressor:
      shape.form = CurrentShape::Form::Sine;
      shape.lagRad = Radians(load.phaseDeg);
      shape.peakMilliamps = SinePeak(load, volts, shape.lagRad);
      return shape;
    case LoadType::Smps:
      shape.form = CurrentShape::Form::Pulse;
      shape.lagRad = Radians(load.phaseDeg);
      shape.widthRad = Radians(load.pulseWidthDeg);
      shape.peakMilliamps = PulsePeak(load, volts, shape.widthRad, shape.lagRad);
      return shape;
  }
  return shape;
}

double InstantMilliamps(const CurrentShape& shape, double theta) {
  switch (shape.form) {
    case CurrentShape::Form::None: return 0.0;
    case CurrentShape::Form::Sine: return shape.peakMilliamps * std::sin(theta - shape.lagRad);
    case CurrentShape::Form::Pulse: {
      const double centre = PI / 2.0 + shape.lagRad;
      return shape.peakMilliamps * (PulseAt(Wrap(theta - centre), shape.widthRad) -
                                    PulseAt(Wrap(theta - centre - PI), shape.widthRad));
    }
  }
  return 0.0;
}

double RmsMilliamps(const CurrentShape& shape) {
  switch (shape.form) {
    case CurrentShape::Form::None: return 0.0;
    case CurrentShape::Form::Sine: return shape.peakMilliamps / std::numbers::sqrt2;
    case CurrentShape::Form::Pulse: return shape.peakMilliamps * std::sqrt(PulseMeanSquare(shape.widthRad));
  }
  return 0.0;
}

double ActiveWatts(const CurrentShape& shape, double volts) {
  switch (shape.form) {
    case CurrentShape::Form::None: return 0.0;
    case CurrentShape::Form::Sine: return volts * RmsMilliamps(shape) * std::cos(shape.lagRad) / 1000.0;
    case CurrentShape::Form::Pulse:
      return std::numbers::sqrt2 * volts * shape.peakMilliamps * PulseMeanSine(shape.widthRad, shape.lagRad) /
             1000.0;
  }
  return 0.0;
}

}  // namespace kvx::sim
