// Calibration records as two 8-byte memory replies, a sample to correct, the
// page selector byte, and optionally a whole waveform frame run through the
// evaluation steps with that record.
//
// Input layout (zero-filled when shorter):
//   bytes  0..7    first reply (lowDivisor, lowMultiplier, lowOffset, threshold)
//   bytes  8..15   second reply (highDivisor, highMultiplier, highOffset, 2 unused bytes)
//   bytes 16..23   the sample, an IEEE double in the machine's byte order
//   byte  24       byte 3 of the page selector reply
//   byte  25       supply voltage byte
//   bytes 26..281  up to 128 raw waveform samples (little-endian 16-bit words)
//
// Invariants: decoding keeps words 0..6 exactly; the correction follows the
// two-segment rule (multiply, divide, add) and passes the sample through for a
// segment whose divisor is 0; for a finite sample the result is finite unless
// the product sample x multiplier itself exceeds the double range (only
// samples beyond 1e303 or so can do that; the client's centred samples stay
// within +-65535); the page selection is total and follows the page table; the
// frame evaluation gives finite values.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "acquisition/measurement.h"
#include "fuzz_check.h"

namespace {

using namespace kvx;
using namespace kvx::protocol;
using kvx::fuzz::Require;
using kvx::fuzz::RequireFinite;

constexpr std::size_t FIXED_SIZE = 26;
constexpr std::size_t FRAME_BYTES = 2 * WAVEFORM_SAMPLES;

void CheckDecoding(std::span<const std::uint8_t, 16> replies, const ChannelCalibration& record) {
  const auto bytes = EncodeChannelCalibration(record);
  Require(std::equal(bytes.begin(), bytes.end(), replies.begin()), "record words 0..6 decoded exactly");
}

void CheckCorrection(const ChannelCalibration& record, double x) {
  const double y = ApplyCalibration(record, x);
  if (std::isnan(x)) return;  // NaN never reaches the correction: samples come from 16-bit words
  const bool low = x <= record.threshold;
  const double divisor = low ? record.lowDivisor : record.highDivisor;
  const double multiplier = low ? record.lowMultiplier : record.highMultiplier;
  const double offset = low ? record.lowOffset : record.highOffset;
  if (divisor == 0.0) {
    Require(y == x, "a segment with divisor 0 passes the sample through");
    return;
  }
  const double expected = x * multiplier / divisor + offset;
  Require(y == expected || (std::isnan(y) && std::isnan(expected)), "correction is x * multiplier / divisor + offset");
  if (std::isfinite(x) && std::isfinite(x * multiplier)) RequireFinite(y, "corrected sample finite");
  if (std::fabs(x) <= 65535.0) RequireFinite(y, "corrected centred sample finite");
}

void CheckPageSelection(std::uint8_t selector) {
  const std::uint16_t page = SelectCalibrationPage(selector);
  const std::uint16_t expected = selector == 0 ? 0x7D80 : selector == 1 ? 0x0300 : 0x0380;
  Require(page == expected, "page selection follows the page table");
}

void CheckFrame(const ChannelCalibration& record, std::uint8_t volts, std::span<const std::uint8_t> raw) {
  WaveSamples samples{};
  for (std::size_t i = 0; 2 * i + 1 < raw.size() && i < samples.size(); ++i) samples[i] = Word(raw, 2 * i);
  const WaveFrame smoothed = SmoothWaveform(samples);
  const WaveRange range = ScanRange(smoothed);
  Require(range.min >= 0.0 && range.min <= range.max && range.max <= 65535.0, "range within the sample range");
  const std::array<ChannelCalibration, 4> records{record, record, record, record};
  for (std::uint8_t kind = 0; kind <= 5; ++kind) {
    const WaveFrame corrected = CentreAndCorrect(smoothed, range, kind, records);
    for (double v : corrected) RequireFinite(v, "corrected frame sample finite");
    RequireFinite(EffectiveCurrent(corrected), "effective current finite");
    RequireFinite(ActivePower(corrected, DecodeVoltage(volts).value), "active power finite");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, FIXED_SIZE + FRAME_BYTES> input{};
  std::copy_n(data, std::min(size, input.size()), input.begin());

  const std::span<const std::uint8_t, 8> first(input.data(), 8);
  const std::span<const std::uint8_t, 8> second(input.data() + 8, 8);
  const ChannelCalibration record = DecodeChannelCalibration(first, second);
  CheckDecoding(std::span<const std::uint8_t, 16>(input.data(), 16), record);

  double sample = 0.0;
  std::memcpy(&sample, input.data() + 16, sizeof sample);
  CheckCorrection(record, sample);
  // The thresholds' neighbours are where the segment choice flips.
  CheckCorrection(record, static_cast<double>(record.threshold));
  CheckCorrection(record, record.threshold + 0.5);

  CheckPageSelection(input[24]);

  if (size > FIXED_SIZE) {
    const std::size_t frameBytes = std::min(size - FIXED_SIZE, FRAME_BYTES);
    CheckFrame(record, input[25], std::span<const std::uint8_t>(input.data() + FIXED_SIZE, frameBytes));
  }
  return 0;
}
