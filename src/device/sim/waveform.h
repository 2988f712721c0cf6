// Raw waveform samples as the strip's current sensor produces them: unsigned
// 16-bit counts around a mid-scale baseline, one mains period over 128
// samples, sample i taken at phase (i + 1) * 2 pi / 128 of the voltage. The
// sensor's gain is what the outlet's factory calibration record undoes.
#pragma once

#include <array>
#include <cstdint>

#include "device/protocol.h"
#include "device/sim/load_model.h"

namespace kvx::sim {

inline constexpr std::uint16_t WAVEFORM_BASELINE = 32768;

using WaveformFrame = std::array<std::uint16_t, protocol::WAVEFORM_SAMPLES>;

// Phase of sample i (0..127) of a frame.
double SamplePhase(int i);

// The centred count x for which ApplyCalibration(record, x) gives
// `milliamps`, through the low or the high segment by the record's threshold.
double CountsFromMilliamps(const protocol::ChannelCalibration& record, double milliamps);

// The frame of one outlet drawing `shape`, seen through a sensor calibrated by `factory`.
WaveformFrame CaptureFrame(const CurrentShape& shape, const protocol::ChannelCalibration& factory);

}  // namespace kvx::sim
