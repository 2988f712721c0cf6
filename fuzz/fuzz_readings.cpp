// Arbitrary byte streams as the data pipe would deliver them: each 16-byte
// piece is decoded, judged by the acceptance rule against a running previous
// index, and handed to the measurement processing (summary and waveform paths)
// as the acquisition thread does.
//
// Input layout:
//   bytes  0..55  the strip's calibration page from offset 30: four 14-byte
//                 records, read as the client reads them (8 bytes at 30 + 14(n-1),
//                 8 bytes at 38 + 14(n-1), so the second read overlaps the next record)
//   byte  56      voltage reply byte
//   bytes 57..58  period count (little-endian)
//   bytes 59..60  temperature count (little-endian)
//   byte  61      bit 0: "show average" checked, bit 1: waveform power radio checked
//   byte  62      previous packet index when the stream starts
//   byte  63      milliseconds between two readings' arrival ticks
//   then readings of 16 bytes; a short last piece is zero-filled, as the
//   zeroed read buffer leaves a short transfer.
// Byte 1 of a reading is never examined by the decoder, so it steers the
// harness: bit 0 toggles "show average", bit 1 toggles the waveform power
// radio, bit 2 resets all statistics (a clear button), bit 3 resets the outlet
// statistics (a new connection), bit 4 refreshes the line values from bytes
// 4 (volts), 5..6 (period) and 2, 7 (temperature), bit 5 hands the reading to
// the processing whatever the verdict.
//
// Invariants: no crash or undefined behaviour; the verdict follows the rule;
// decoding keeps exactly the examined bytes; every label is free of inf/nan;
// every stored statistic, present value, graph sample and line value is finite.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "acquisition/app_state.h"
#include "acquisition/control_ids.h"
#include "acquisition/measurement.h"
#include "fuzz_check.h"
#include "null_driver.h"

namespace {

using namespace kvx;
using namespace kvx::protocol;
using kvx::fuzz::Require;
using kvx::fuzz::RequireFinite;

constexpr std::size_t HEADER_SIZE = 64;

void CheckSummaryEvent(const SummaryReadingEvent& event) {
  Require(event.kind == LOG_KIND_CURRENT || event.kind == LOG_KIND_POWER, "log kind is current or power");
  for (double v : event.present) RequireFinite(v, "logged present value finite");
  RequireFinite(event.line.supplyVolts, "logged voltage finite");
  RequireFinite(event.line.lineFrequencyHz, "logged frequency finite");
  RequireFinite(event.line.temperatureC, "logged temperature finite");
}

class CheckingGraph final : public WaveformSink {
 public:
  void DrawWaveform(const std::array<double, WAVEFORM_SAMPLES>& frame, double waveMin, double waveMax) override {
    for (double v : frame) RequireFinite(v, "graph sample finite");
    Require(waveMin >= 0.0 && waveMin <= waveMax && waveMax <= 65535.0, "graph range within the sample range");
  }
};

struct Header {
  std::array<ChannelCalibration, 4> calibration{};
  LineValues line{};
  std::array<LineQuantity, 3> shown{};
  std::uint8_t flags = 0;
  std::uint8_t previousIndex = 0;
  std::uint8_t tickStep = 0;
};

std::array<LineQuantity, 3> DecodeLine(std::uint8_t volts, std::uint16_t period, std::uint16_t temperature) {
  return {DecodeVoltage(volts), DecodeFrequency(period), DecodeTemperature(temperature)};
}

Header ReadHeader(std::span<const std::uint8_t, HEADER_SIZE> h) {
  Header header;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::uint8_t* record = h.data() + 14 * k;
    header.calibration[k] =
        DecodeChannelCalibration(std::span<const std::uint8_t, 8>(record, 8), std::span<const std::uint8_t, 8>(record + 8, 8));
  }
  header.shown = DecodeLine(h[56], Word(h, 57), Word(h, 59));
  header.line = LineValues{header.shown[0].value, header.shown[1].value, header.shown[2].value};
  header.flags = h[61];
  header.previousIndex = h[62];
  header.tickStep = h[63];
  return header;
}

// The three environment labels, as the acquisition thread writes them.
void ShowLine(ControlModel& controls, const std::array<LineQuantity, 3>& q) {
  controls.SetTexts({{ids::VOLTAGE_VALUE, FormatVoltage(q[0])},
                     {ids::FREQUENCY_VALUE, FormatFrequency(q[1])},
                     {ids::TEMPERATURE_VALUE, FormatTemperature(q[2])}});
}

void CheckVerdict(const Reading& r, std::uint8_t previous, ReadingVerdict verdict) {
  const bool waveformKind = (r.readingKind & 0x0F) != 0;
  const bool position = r.packetIndex >= 1 && r.packetIndex <= WAVEFORM_PACKETS;
  const ReadingVerdict expected = waveformKind ? (position ? ReadingVerdict::Waveform : ReadingVerdict::Drop)
                                  : (r.packetIndex == previous && !position) ? ReadingVerdict::Summary
                                                                             : ReadingVerdict::Drop;
  Require(verdict == expected, "acceptance verdict follows the packet-index rule");
}

void CheckDecoding(const ReadingBytes& bytes, const Reading& r) {
  ReadingBytes examined = bytes;
  for (std::size_t i : {1, 2, 4, 5, 6, 7}) examined[i] = 0;
  Require(EncodeReading(r) == examined, "decoding keeps exactly bytes 0, 3 and 8..15");
}

void CheckState(const AppState& state, const Measurement& measurement) {
  const MeasurementState& m = state.measurement;
  for (std::size_t k = 0; k < 4; ++k) {
    RequireFinite(m.outletMax[k].load(), "outlet maximum finite");
    RequireFinite(m.outletMin[k].load(), "outlet minimum finite");
  }
  RequireFinite(m.rmsCurrentMax.load(), "effective current maximum finite");
  RequireFinite(m.rmsCurrentMin.load(), "effective current minimum finite");
  RequireFinite(m.activePowerMax.load(), "active power maximum finite");
  RequireFinite(m.activePowerMin.load(), "active power minimum finite");
  RequireFinite(m.waveMin.load(), "waveform minimum finite");
  RequireFinite(m.waveMax.load(), "waveform maximum finite");
  RequireFinite(measurement.lastWaveValue(), "waveform value finite");
}

// The labels a processing step has just written.
void CheckLabels(const ControlModel& controls, std::initializer_list<std::array<int, 4>> groups) {
  for (const auto& group : groups) {
    for (int id : group) Require(!kvx::fuzz::LooksNonFinite(controls.GetText(id)), "value label free of inf/nan");
  }
}

void Toggle(ControlModel& controls, int id) { controls.SetCheck(id, !controls.IsChecked(id)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kvx::fuzz::NullDriver driver;
  std::array<std::uint8_t, HEADER_SIZE> headerBytes{};
  std::copy_n(data, std::min(size, HEADER_SIZE), headerBytes.begin());
  const Header header = ReadHeader(headerBytes);

  AppState state(driver);
  CheckingGraph graph;
  Measurement measurement(state.controls, state.measurement, graph);
  measurement.SetCalibration(header.calibration);
  measurement.SetLineValues(header.line);
  ShowLine(state.controls, header.shown);
  state.controls.SetCheck(ids::AVERAGE_CHECK, (header.flags & 0x01) != 0);
  state.controls.SetCheck(ids::WAVE_POWER_RADIO, (header.flags & 0x02) != 0);
  ResetOutletStatistics(state.measurement);

  std::uint8_t previous = header.previousIndex;
  std::uint32_t tick = 0;
  for (std::size_t at = HEADER_SIZE; at < size; at += READING_SIZE) {
    ReadingBytes bytes{};
    std::copy_n(data + at, std::min(READING_SIZE, size - at), bytes.begin());
    const std::uint8_t steer = bytes[1];
    if (steer & 0x01) Toggle(state.controls, ids::AVERAGE_CHECK);
    if (steer & 0x02) Toggle(state.controls, ids::WAVE_POWER_RADIO);
    if (steer & 0x04) ResetStatistics(state.measurement);
    if (steer & 0x08) ResetOutletStatistics(state.measurement);
    if (steer & 0x10) {
      const auto q = DecodeLine(bytes[4], Word(bytes, 5), static_cast<std::uint16_t>(bytes[2] | (bytes[7] << 8)));
      measurement.SetLineValues(LineValues{q[0].value, q[1].value, q[2].value});
      ShowLine(state.controls, q);
    }

    const Reading reading = DecodeReading(bytes);
    CheckDecoding(bytes, reading);
    const ReadingVerdict verdict = ClassifyReading(reading, previous);
    CheckVerdict(reading, previous, verdict);
    tick += header.tickStep;
    const bool anyway = (steer & 0x20) != 0;
    if (verdict == ReadingVerdict::Waveform || (anyway && IsWaveformKind(reading.readingKind))) {
      measurement.ProcessWaveformPacket(reading);
      if (reading.packetIndex == WAVEFORM_PACKETS) {
        CheckLabels(state.controls, {{ids::WAVE_VALUE, ids::WAVE_MAX, ids::WAVE_MIN, ids::WAVE_VALUE}});
      }
    } else if (verdict == ReadingVerdict::Summary || anyway) {
      CheckSummaryEvent(measurement.ProcessSummaryReading(reading, tick, LocalTime{}));
      CheckLabels(state.controls,
                  {ids::INSTANTANEOUS_VALUE, ids::MAXIMUM_VALUE, ids::MINIMUM_VALUE, ids::PRESENT_VALUE});
    }
    previous = reading.packetIndex;
    CheckState(state, measurement);
  }
  for (const ControlState& control : state.controls.TakeSnapshot().controls) {
    Require(!kvx::fuzz::LooksNonFinite(control.text), "no control text shows inf/nan");
  }
  return 0;
}
