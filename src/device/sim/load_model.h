// The physics of an outlet's load. The supply voltage is the ideal sine
// v(theta) = sqrt(2) * V * sin(theta), theta measured from its upward zero
// crossing; a load's current over one mains period is a sine (heater,
// compressor) or a pair of pulses near the voltage peaks (switched-mode
// supply), with RMS current and active power in closed form so that summary
// readings cost no integration.
#pragma once

#include <cstdint>

#include "device/sim/scenario.h"

namespace kvx::sim {

// The current of one outlet at one moment, over one mains period.
struct CurrentShape {
  enum class Form { None, Sine, Pulse };
  Form form = Form::None;
  double peakMilliamps = 0.0;  // amplitude of the sine, or height of the pulses
  double lagRad = 0.0;         // of the sine, or of the pulse centre behind the voltage peak
  double widthRad = 0.0;       // of each pulse
};

// Whether a compressor runs at `timeMs` of its cycle (other loads always run).
bool IsRunning(const LoadSpec& load, double timeMs);

// The load's current at `timeMs` on a strip with supply voltage `volts`.
CurrentShape ShapeAt(const LoadSpec& load, double volts, double timeMs);

double InstantMilliamps(const CurrentShape& shape, double theta);
double RmsMilliamps(const CurrentShape& shape);
// Mean of v * i over a period, in W.
double ActiveWatts(const CurrentShape& shape, double volts);

}  // namespace kvx::sim
