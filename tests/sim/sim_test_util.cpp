#include "sim_test_util.h"

#include <algorithm>
#include <cmath>

namespace kvx::sim::test {

using namespace kvx::protocol;

Reply Transfer(SimDriver& driver, device::Handle handle, std::uint8_t bmRequestType, std::uint8_t bRequest,
               std::uint16_t wValue, std::uint16_t wIndex, std::uint16_t wLength, std::size_t outSize) {
  const SetupPacket packet = BuildSetupPacket(bmRequestType, bRequest, wValue, wIndex, wLength);
  std::vector<std::uint8_t> out(outSize, 0xEE);
  std::uint32_t returned = 0xDEAD;
  Reply reply;
  reply.ok = driver.Control(handle, IOCTL_STRIP_CONTROL_TRANSFER, packet, out, returned);
  out.resize(std::min<std::size_t>(returned, out.size()));
  reply.bytes = out;
  return reply;
}

Reply Request(SimDriver& driver, std::size_t strip, std::uint8_t bmRequestType, std::uint8_t bRequest,
              std::uint16_t wValue, std::uint16_t wIndex, std::uint16_t wLength) {
  const device::Handle pipe = driver.Open(driver.DevicePath(strip) + "\\PIPE00");
  if (pipe == device::INVALID_HANDLE_VALUE) return {};
  Reply reply = Transfer(driver, pipe, bmRequestType, bRequest, wValue, wIndex, wLength);
  driver.Close(pipe);
  return reply;
}

bool SelectOutlet(SimDriver& driver, std::size_t strip, int outlet) {
  return Request(driver, strip, REQUEST_TYPE_OUT, REQ_SELECT_OUTLET, static_cast<std::uint16_t>(outlet)).ok;
}

bool SelectQuantity(SimDriver& driver, std::size_t strip, std::uint8_t quantity) {
  return Request(driver, strip, REQUEST_TYPE_OUT, REQ_SELECT_QUANTITY, quantity).ok;
}

bool SendCode(SimDriver& driver, device::Handle handle, std::uint32_t code) {
  const std::array<std::uint8_t, 4> event = {0x34, 0x12, 0, 0};
  std::uint32_t returned = 0;
  const std::span<const std::uint8_t> in =
      code == IOCTL_STRIP_SET_EVENT ? std::span<const std::uint8_t>(event) : std::span<const std::uint8_t>();
  return driver.Control(handle, code, in, {}, returned);
}

device::Handle OpenArmedPipe(SimDriver& driver, std::size_t strip) {
  const device::Handle pipe = driver.Open(driver.DevicePath(strip) + "\\PIPE00");
  if (pipe != device::INVALID_HANDLE_VALUE) SendCode(driver, pipe, IOCTL_STRIP_SET_EVENT);
  return pipe;
}

ReadOutcome ReadOnce(SimDriver& driver, device::Handle pipe, std::chrono::milliseconds timeout) {
  ReadOutcome outcome;
  const device::ReadResult result = driver.Read(pipe, outcome.data, timeout);
  outcome.status = result.status;
  outcome.bytes = result.bytes;
  return outcome;
}

StripSpec StripWith(std::uint32_t serial, std::array<LoadSpec, OUTLETS> loads) {
  StripSpec strip;
  strip.serial = serial;
  strip.outlets = loads;
  strip.summaryIntervalMs = 0;
  strip.waveformIntervalMs = 0;
  strip.readingInFlight = false;  // tests see the new selection's stream at once
  return strip;
}

Scenario OneStrip(std::array<LoadSpec, OUTLETS> loads) {
  Scenario scenario;
  scenario.strips.push_back(StripWith(0x1A2B3, loads));
  return scenario;
}

SimOptions Manual() {
  SimOptions options;
  options.manualClock = true;
  return options;
}

std::array<std::uint16_t, WAVEFORM_SAMPLES> ReadFrame(SimDriver& driver, device::Handle pipe) {
  std::array<std::uint16_t, WAVEFORM_SAMPLES> frame{};
  for (int p = 1; p <= WAVEFORM_PACKETS; ++p) {
    const Reading r = ReadOnce(driver, pipe).reading();
    for (std::size_t j = 0; j < 4; ++j) frame[static_cast<std::size_t>(FirstSampleOfPacket(r.packetIndex)) + j] = r.value[j];
  }
  return frame;
}

FrameValues EvaluateFrame(const std::array<std::uint16_t, WAVEFORM_SAMPLES>& raw, const ChannelCalibration& record,
                          double volts) {
  std::array<std::int32_t, WAVEFORM_SAMPLES> w{};
  std::copy(raw.begin(), raw.end(), w.begin());
  std::array<double, WAVEFORM_SAMPLES> s{};
  for (int i = 0; i < WAVEFORM_SAMPLES; ++i) {
    const auto at = [&](int k) { return w[static_cast<std::size_t>(k)]; };
    std::int32_t v = 0;
    if (i == 0) v = (at(0) + at(1)) / 2;
    else if (i == 127) v = (at(126) + at(127)) / 2;
    else if (i == 1 || i == 2 || i == 125 || i == 126) v = (at(i - 1) + 2 * at(i) + at(i + 1)) / 4;
    else v = (at(i - 2) + 2 * at(i - 1) + 3 * at(i) + 2 * at(i + 1) + at(i + 2)) / 9;
    s[static_cast<std::size_t>(i)] = v;
  }
  double low = 65535.0, high = 0.0;
  for (double v : s) {
    low = std::min(low, v);
    high = std::max(high, v);
  }
  const double half = (high - low) * 0.5;
  double squares = 0.0, power = 0.0;
  for (int i = 0; i < WAVEFORM_SAMPLES; ++i) {
    const double y = ApplyCalibration(record, s[static_cast<std::size_t>(i)] - low - half);
    squares += y * y * 0.0078125;
    power += y * volts * std::sqrt(2.0) * std::sin((i + 1) * 0.04908738521875) * 0.0078125;
  }
  return {std::sqrt(squares), power / 1000.0};
}

}  // namespace kvx::sim::test
