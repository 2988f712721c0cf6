// Helpers of the simulator tests: one-call requests and reads through the
// Driver interface, small scenarios, and the client's own evaluation of a
// waveform frame as a reference.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/protocol.h"
#include "device/sim/sim_driver.h"

namespace kvx::sim::test {

struct Reply {
  bool ok = false;
  std::vector<std::uint8_t> bytes;
};

// One IOCTL_STRIP_CONTROL_TRANSFER on `handle` with an output buffer of `outSize` bytes.
Reply Transfer(SimDriver& driver, device::Handle handle, std::uint8_t bmRequestType, std::uint8_t bRequest,
               std::uint16_t wValue = 0, std::uint16_t wIndex = 0, std::uint16_t wLength = 0,
               std::size_t outSize = 8);
// The same on a fresh pipe handle of strip `strip`, closed again afterwards
// (what the client's locked requests do).
Reply Request(SimDriver& driver, std::size_t strip, std::uint8_t bmRequestType, std::uint8_t bRequest,
              std::uint16_t wValue = 0, std::uint16_t wIndex = 0, std::uint16_t wLength = 0);
bool SelectOutlet(SimDriver& driver, std::size_t strip, int outlet);
bool SelectQuantity(SimDriver& driver, std::size_t strip, std::uint8_t quantity);

// A pipe handle of the strip after IOCTL_STRIP_SET_EVENT.
device::Handle OpenArmedPipe(SimDriver& driver, std::size_t strip);
bool SendCode(SimDriver& driver, device::Handle handle, std::uint32_t code);

struct ReadOutcome {
  device::ReadStatus status = device::ReadStatus::Failed;
  std::uint32_t bytes = 0;
  protocol::ReadingBytes data{};
  protocol::Reading reading() const { return protocol::DecodeReading(data); }
};
ReadOutcome ReadOnce(SimDriver& driver, device::Handle pipe,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

// A strip with these four loads, unpaced, 100 V.
StripSpec StripWith(std::uint32_t serial, std::array<LoadSpec, OUTLETS> loads);
Scenario OneStrip(std::array<LoadSpec, OUTLETS> loads = {});
SimOptions Manual();

// The 128 raw samples of one complete frame of `outlet`, read from packets 1..32.
std::array<std::uint16_t, protocol::WAVEFORM_SAMPLES> ReadFrame(SimDriver& driver, device::Handle pipe);

// The client's evaluation of a frame: integer smoothing, centring on the
// middle of the range, the outlet's calibration, then RMS current (mA) and
// active power (W) against the ideal voltage sine.
struct FrameValues {
  double rmsMilliamps = 0.0;
  double activeWatts = 0.0;
};
FrameValues EvaluateFrame(const std::array<std::uint16_t, protocol::WAVEFORM_SAMPLES>& raw,
                          const protocol::ChannelCalibration& record, double volts);

}  // namespace kvx::sim::test
