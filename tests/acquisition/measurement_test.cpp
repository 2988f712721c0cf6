// Summary values, statistics, the averaging window and the waveform evaluation.
#include "acquisition/measurement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "acquisition/control_ids.h"
#include "recording_fakes.h"
#include "support/scripted_driver.h"

namespace kvx {
namespace {

using protocol::ChannelCalibration;
using protocol::Reading;

Reading Summary(std::uint8_t kind, std::array<std::uint16_t, 4> words, std::uint8_t packetIndex = 0) {
  return Reading{packetIndex, kind, words};
}

class MeasurementTest : public ::testing::Test {
 protected:
  MeasurementTest() : state(driver), measurement(state.controls, state.measurement, graph) {
    ResetOutletStatistics(state.measurement);  // as the thread does before any reading
  }

  // One summary reading, its event told to the recorder as the thread does.
  void ProcessSummary(const Reading& reading, std::uint32_t tick) {
    recorder.OnSummaryReading(measurement.ProcessSummaryReading(reading, tick, LocalTime{}));
  }

  std::string Text(int id) const { return state.controls.GetText(id); }
  std::array<std::string, 4> Row(const std::array<int, 4>& idsOfRow) const {
    return {Text(idsOfRow[0]), Text(idsOfRow[1]), Text(idsOfRow[2]), Text(idsOfRow[3])};
  }

  // All 32 packets of one waveform of `kind` whose sample i is sample(i).
  template <typename SampleFn>
  void SendFrame(std::uint8_t kind, SampleFn sample) {
    for (int p = 1; p <= protocol::WAVEFORM_PACKETS; ++p) {
      Reading r{static_cast<std::uint8_t>(p), kind, {}};
      for (int j = 0; j < 4; ++j) r.value[static_cast<std::size_t>(j)] = sample(4 * (p - 1) + j);
      measurement.ProcessWaveformPacket(r);
    }
  }

  test::ScriptedDriver driver;
  AppState state;
  test::RecordingRecorder recorder;
  test::RecordingGraph graph;
  Measurement measurement;
};

using Labels = std::array<std::string, 4>;

// ---------------------------------------------------------------- summary

TEST_F(MeasurementTest, FirstSummaryReadingOfAConnectionKeepsTheConnectionStartValues) {
  ProcessSummary(Summary(0x30, {1000, 0, 65535, 1}), 1234);
  EXPECT_EQ(Row(ids::INSTANTANEOUS_VALUE), (Labels{"1000", "0", "65535", "1"}));
  EXPECT_EQ(Row(ids::MAXIMUM_VALUE), (Labels{"1000", "0", "65535", "1"}));
  // 65535 is not below the start value 60000, which stays.
  EXPECT_EQ(Row(ids::MINIMUM_VALUE), (Labels{"1000", "0", "60000", "1"}));
  EXPECT_EQ(Row(ids::PRESENT_VALUE), (Labels{"1000", "0", "65535", "1"}));

  const auto logged = recorder.Readings();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].arrivalTick, 1234u);
  EXPECT_EQ(logged[0].kind, LOG_KIND_CURRENT);
  EXPECT_FALSE(logged[0].isOn);
  EXPECT_EQ(logged[0].present, (std::array<double, 4>{1000, 0, 65535, 1}));
}

TEST_F(MeasurementTest, AfterResetStatisticsTheSmallestValueStartsFromTheResetValue) {
  ResetStatistics(state.measurement);
  ProcessSummary(Summary(0x30, {1000, 0, 65535, 1}), 0);
  EXPECT_EQ(Row(ids::MINIMUM_VALUE), (Labels{"1000", "0", "65535", "1"}));
  EXPECT_EQ(state.measurement.outletMin[2].load(), 65535.0);
}

TEST_F(MeasurementTest, PowerReadingsAreDividedAndLoggedAsPower) {
  ProcessSummary(Summary(0x10, {1000, 0, 0, 0}, 0x80), 0);
  EXPECT_EQ(Text(5010), "1000");
  EXPECT_EQ(Text(5011), "1000");
  EXPECT_EQ(Text(5012), "1000");
  EXPECT_EQ(Text(5013), "1000");
  EXPECT_DOUBLE_EQ(state.measurement.outletMax[0].load(), 1000 / 1.0001);
  const auto logged = recorder.Readings();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].kind, LOG_KIND_POWER);
  EXPECT_TRUE(logged[0].isOn);  // bit 7 of the state byte
  EXPECT_DOUBLE_EQ(logged[0].present[0], 1000 / 1.0001);
}

TEST_F(MeasurementTest, ExtremesFollowStrictComparisons) {
  ResetStatistics(state.measurement);
  for (std::uint16_t v : {500, 700, 300, 700, 300, 600}) ProcessSummary(Summary(0x30, {v, v, v, v}), 0);
  EXPECT_EQ(state.measurement.outletMax[3].load(), 700.0);
  EXPECT_EQ(state.measurement.outletMin[3].load(), 300.0);
  EXPECT_EQ(Row(ids::MAXIMUM_VALUE), (Labels{"700", "700", "700", "700"}));
  EXPECT_EQ(Row(ids::MINIMUM_VALUE), (Labels{"300", "300", "300", "300"}));
  EXPECT_EQ(Text(5013), "600");
}

TEST_F(MeasurementTest, AveragingCombinesTheLatestReadingsOfOneQuantityAndConnectionInArrivalOrder) {
  const auto logged = [this] { return recorder.Readings().back().present[0]; };
  // A steady load shows its value from the first reading after the switch.
  for (int i = 0; i < 3; ++i) ProcessSummary(Summary(0x30, {1000, 1000, 1000, 1000}), 0);
  state.controls.SetCheck(ids::AVERAGE_CHECK, true);
  ProcessSummary(Summary(0x30, {1000, 1000, 1000, 1000}), 0);
  EXPECT_EQ(logged(), 1000.0);
  EXPECT_EQ(Text(5019), "1000");
  // The newest weighs one half, the one before a quarter, ...
  ProcessSummary(Summary(0x30, {2000, 0, 0, 0}), 0);
  EXPECT_EQ(logged(), 1500.0);
  // Only the latest 12 take part: after 12 readings of 0 the 1000s are gone.
  for (int i = 0; i < 12; ++i) ProcessSummary(Summary(0x30, {0, 0, 0, 0}), 0);
  EXPECT_EQ(logged(), 0.0);
  // A reading of the other quantity starts again: no milliamperes among watts.
  ProcessSummary(Summary(0x10, {1200, 1200, 1200, 1200}), 0);
  EXPECT_NEAR(logged(), 1200 / 1.0001, 1e-9);
  // So does a new connection.
  measurement.StartConnection();
  ProcessSummary(Summary(0x10, {500, 500, 500, 500}), 0);
  EXPECT_NEAR(logged(), 500 / 1.0001, 1e-9);
  // Off again: the present value is the instantaneous one from the next reading on.
  state.controls.SetCheck(ids::AVERAGE_CHECK, false);
  ProcessSummary(Summary(0x30, {400, 400, 400, 400}), 0);
  EXPECT_EQ(logged(), 400.0);
  EXPECT_EQ(Text(5013), "400");
}

// ---------------------------------------------------------------- waveform

TEST_F(MeasurementTest, SmoothingUsesTheKernelsOfEndsAndMiddleInIntegers) {
  WaveSamples w{};
  w[64] = 9;
  w[0] = 4;
  w[127] = 7;
  const WaveFrame s = SmoothWaveform(w);
  EXPECT_EQ(s[0], 2.0);    // (4 + 0) / 2
  EXPECT_EQ(s[1], 1.0);    // (4 + 0 + 0) / 4
  EXPECT_EQ(s[2], 0.0);    // (0 + 0 + 0) / 4
  EXPECT_EQ(s[62], 1.0);   // 9 / 9
  EXPECT_EQ(s[63], 2.0);   // 18 / 9
  EXPECT_EQ(s[64], 3.0);   // 27 / 9
  EXPECT_EQ(s[65], 2.0);
  EXPECT_EQ(s[66], 1.0);
  EXPECT_EQ(s[126], 1.0);  // (0 + 0 + 7) / 4, truncated
  EXPECT_EQ(s[127], 3.0);  // (0 + 7) / 2, truncated
}

TEST_F(MeasurementTest, FlatWaveformGivesTheLowOffsetAsCurrentAndNoPower) {
  ChannelCalibration record{1000, 1200, 5, 2000, 1000, 1100, 0};
  measurement.SetCalibration({ChannelCalibration{}, record, ChannelCalibration{}, ChannelCalibration{}});
  measurement.SetLineValues(LineValues{100.0, 50.0, 25.0});
  ResetStatistics(state.measurement);
  SendFrame(0x02, [](int) { return std::uint16_t{2000}; });
  EXPECT_EQ(Text(ids::WAVE_VALUE), "5.00");
  EXPECT_EQ(Text(ids::WAVE_MAX), "5.00");
  EXPECT_EQ(Text(ids::WAVE_MIN), "5.00");
  EXPECT_EQ(state.measurement.waveMin.load(), 2000.0);
  EXPECT_EQ(state.measurement.waveMax.load(), 2000.0);
  ASSERT_EQ(graph.Frames().size(), 1u);
  EXPECT_EQ(graph.Frames()[0].waveMin, 2000.0);

  state.controls.Click(ids::WAVE_POWER_RADIO);
  SendFrame(0x02, [](int) { return std::uint16_t{2000}; });
  EXPECT_NEAR(measurement.lastWaveValue(), 0.0, 1e-9);
  EXPECT_EQ(Text(ids::WAVE_VALUE), "0.00");
}

TEST_F(MeasurementTest, NegativePowerShowsZeroButIsStoredWithItsSign) {
  measurement.SetLineValues(LineValues{100.0, 50.0, 25.0});
  state.controls.Click(ids::WAVE_POWER_RADIO);
  ResetStatistics(state.measurement);
  // Current in opposition to the ideal voltage sine: reversed polarity.
  SendFrame(0x21, [](int i) { return static_cast<std::uint16_t>(20000 - 10000 * std::sin((i + 1) * 0.04908738521875)); });
  const double power = measurement.lastWaveValue();
  EXPECT_LT(power, -100.0);
  EXPECT_EQ(state.measurement.activePowerMin.load(), power);
  EXPECT_EQ(state.measurement.activePowerMax.load(), 0.0);
  EXPECT_EQ(Text(ids::WAVE_VALUE), "0.00");
  EXPECT_EQ(Text(ids::WAVE_MAX), "0.00");
  EXPECT_EQ(Text(ids::WAVE_MIN), "0.00");
}

TEST_F(MeasurementTest, KindOutsideOneToFourAppliesNoCorrection) {
  ChannelCalibration record{1000, 1200, 5, 2000, 1000, 1100, 0};
  measurement.SetCalibration({record, record, record, record});
  SendFrame(0x21, [](int) { return std::uint16_t{2000}; });
  EXPECT_EQ(Text(ids::WAVE_VALUE), "0.00");
  SendFrame(0x01, [](int) { return std::uint16_t{2000}; });
  EXPECT_EQ(Text(ids::WAVE_VALUE), "5.00");
}

TEST_F(MeasurementTest, LostPacketsLeaveOldSamplesInTheFrame) {
  SendFrame(0x01, [](int) { return std::uint16_t{1000}; });
  measurement.ProcessWaveformPacket(Reading{32, 0x01, {3000, 3000, 3000, 3000}});
  const auto frames = graph.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].frame[0], 1000.0);
  EXPECT_EQ(frames[1].frame[123], 1666.0);  // (1000 + 2000 + 3000 + 6000 + 3000) / 9, truncated
  EXPECT_EQ(frames[1].frame[127], 3000.0);
  EXPECT_EQ(frames[1].waveMin, 1000.0);
  EXPECT_EQ(frames[1].waveMax, 3000.0);
}

TEST_F(MeasurementTest, ZeroDivisorRecordsNeverShowInfinityOrNan) {
  ChannelCalibration zero{0, 1200, 7, 100, 0, 1100, 3};
  measurement.SetCalibration({zero, zero, zero, zero});
  measurement.SetLineValues(LineValues{100.0, 0.0, 25.0});
  const auto finiteLabel = [this](int id) {
    const std::string text = Text(id);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value);
  };
  for (bool power : {false, true}) {
    state.controls.Click(power ? ids::WAVE_POWER_RADIO : ids::WAVE_CURRENT_RADIO);
    SendFrame(0x03, [](int i) { return static_cast<std::uint16_t>(1000 + 500 * std::sin(i * 0.1)); });
    for (int id : {ids::WAVE_VALUE, ids::WAVE_MAX, ids::WAVE_MIN}) EXPECT_TRUE(finiteLabel(id)) << Text(id);
    EXPECT_TRUE(std::isfinite(measurement.lastWaveValue()));
  }
}

TEST_F(MeasurementTest, EvaluationStepsAgreeWithDirectFormulas) {
  WaveFrame y{};
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = 1000.0 * std::sin((i + 1.0) * 0.04908738521875);
  // A current in phase with the voltage: P = Ueff x Ieff.
  EXPECT_NEAR(EffectiveCurrent(y), 1000.0 / std::sqrt(2.0), 1e-6);
  EXPECT_NEAR(ActivePower(y, 100.0), 100.0 * (1000.0 / std::sqrt(2.0)) / 1000.0, 1e-6);
  const WaveRange range = ScanRange(WaveFrame{});
  EXPECT_EQ(range.min, 0.0);
  EXPECT_EQ(range.max, 0.0);
}

}  // namespace
}  // namespace kvx
