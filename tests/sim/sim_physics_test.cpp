// The loads are physically consistent: the summary current and power a strip
// reports agree with what the client computes from the same outlet's
// waveform frame, and with V * I * power factor.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "sim_test_util.h"

namespace kvx::sim::test {
namespace {

using namespace kvx::protocol;

struct Measured {
  double summaryMilliamps = 0.0;
  double summaryWatts = 0.0;
  FrameValues frame;
};

// Summary current, summary power and the frame's evaluation of one outlet,
// all at the same (frozen) moment.
Measured Measure(SimDriver& driver, int outlet) {
  Measured m;
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  SelectOutlet(driver, 0, 0);
  SelectQuantity(driver, 0, QUANTITY_CURRENT);
  m.summaryMilliamps = ReadOnce(driver, pipe).reading().value[static_cast<std::size_t>(outlet - 1)];
  SelectQuantity(driver, 0, QUANTITY_POWER);
  m.summaryWatts = ReadOnce(driver, pipe).reading().value[static_cast<std::size_t>(outlet - 1)];
  SelectOutlet(driver, 0, outlet);
  m.frame = EvaluateFrame(ReadFrame(driver, pipe), driver.CalibrationRecord(0, outlet), 100.0);
  driver.Close(pipe);
  return m;
}

struct Case {
  const char* name;
  LoadSpec load;
};

std::vector<Case> Loads() {
  LoadSpec amps = LoadSpec::Heater(0.0);
  amps.unit = RatingUnit::Milliamps;
  amps.rating = 2500.0;
  LoadSpec narrowSmps = LoadSpec::Smps(90.0, 50.0, -15.0);
  LoadSpec bigSmps = LoadSpec::Smps(600.0, 50.0, -40.0);
  LoadSpec laggingSmps = LoadSpec::Smps(300.0, 70.0, 12.0);
  return {
      {"small heater", LoadSpec::Heater(60.0)},
      {"heater", LoadSpec::Heater(1200.0)},
      {"big heater (high segment)", LoadSpec::Heater(1500.0)},
      {"heater rated in mA", amps},
      {"laptop smps", LoadSpec::Smps(65.0, 50.0, -8.0)},
      {"narrow smps", narrowSmps},
      {"lagging smps", laggingSmps},
      {"desktop smps", LoadSpec::Smps(150.0)},
      {"big smps (high segment)", bigSmps},
      {"compressor", LoadSpec::Compressor(150.0, 40.0, 0, 1.0)},
      {"big compressor", LoadSpec::Compressor(1100.0, 25.0, 0, 1.0)},
      {"weak power factor", LoadSpec::Compressor(200.0, 70.0, 0, 1.0)},
  };
}

TEST(SimPhysics, SummaryAgreesWithTheClientsEvaluationOfTheWaveformOnEveryOutlet) {
  for (const Case& c : Loads()) {
    for (int outlet = 1; outlet <= 4; ++outlet) {
      std::array<LoadSpec, OUTLETS> loads{};
      loads[static_cast<std::size_t>(outlet - 1)] = c.load;
      SimDriver driver(OneStrip(loads), Manual());
      const Measured m = Measure(driver, outlet);
      SCOPED_TRACE(std::string(c.name) + " on outlet " + std::to_string(outlet));
      ASSERT_GT(m.summaryMilliamps, 100.0);
      EXPECT_NEAR(m.frame.rmsMilliamps, m.summaryMilliamps, 0.03 * m.summaryMilliamps);
      EXPECT_NEAR(m.frame.activeWatts, m.summaryWatts, 0.03 * m.summaryWatts + 1.0);
    }
  }
}

TEST(SimPhysics, SummaryPowerIsVoltsTimesAmpsTimesPowerFactor) {
  std::array<LoadSpec, OUTLETS> loads = {LoadSpec::Heater(1000.0), LoadSpec::Compressor(400.0, 36.87, 0, 1.0),
                                         LoadSpec::Smps(150.0), LoadSpec::Empty()};
  SimDriver driver(OneStrip(loads), Manual());
  SelectQuantity(driver, 0, QUANTITY_CURRENT);
  const Reading amps = driver.MeasureSummary(0);
  SelectQuantity(driver, 0, QUANTITY_POWER);
  const Reading watts = driver.MeasureSummary(0);

  // Heater: in phase, P = V * I; 1000 W at 100 V is 10 A.
  EXPECT_EQ(amps.value[0], 10000);
  EXPECT_EQ(watts.value[0], 1000);
  // Compressor: power factor cos(36.87 deg) = 0.8: 400 W needs 5 A.
  EXPECT_NEAR(amps.value[1], 5000, 2);
  EXPECT_EQ(watts.value[1], 400);
  // Switched-mode supply: the pulses carry more current than the power needs.
  const double powerFactor = watts.value[2] / (100.0 * amps.value[2] / 1000.0);
  EXPECT_EQ(watts.value[2], 150);
  EXPECT_GT(powerFactor, 0.5);
  EXPECT_LT(powerFactor, 0.9);
  EXPECT_EQ(amps.value[3], 0);
  EXPECT_EQ(watts.value[3], 0);
}

TEST(SimPhysics, LoadModelMatchesNumericIntegration) {
  for (const Case& c : Loads()) {
    const CurrentShape shape = ShapeAt(c.load, 100.0, 0.0);
    constexpr int N = 20000;
    double squares = 0.0, power = 0.0;
    for (int k = 0; k < N; ++k) {
      const double theta = 2.0 * std::numbers::pi * (k + 0.5) / N;
      const double i = InstantMilliamps(shape, theta);
      squares += i * i / N;
      power += i * std::numbers::sqrt2 * 100.0 * std::sin(theta) / N / 1000.0;
    }
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(RmsMilliamps(shape), std::sqrt(squares), 1e-6 * std::sqrt(squares));
    EXPECT_NEAR(ActiveWatts(shape, 100.0), power, 1e-6 * power);
    // Half-wave symmetry: what centring on the middle of the range relies on.
    EXPECT_NEAR(InstantMilliamps(shape, 1.0), -InstantMilliamps(shape, 1.0 + std::numbers::pi), 1e-9);
  }
}

TEST(SimPhysics, HeaterFrameFollowsTheVoltagePhase) {
  SimDriver driver(OneStrip({LoadSpec::Heater(1000.0)}), Manual());
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  SelectOutlet(driver, 0, 1);
  const auto frame = ReadFrame(driver, pipe);
  // Sample i is taken at phase (i + 1) * 2 pi / 128: the peak at sample 31,
  // the downward zero crossing at sample 63, the trough at sample 95.
  EXPECT_EQ(std::max_element(frame.begin(), frame.end()) - frame.begin(), 31);
  EXPECT_EQ(std::min_element(frame.begin(), frame.end()) - frame.begin(), 95);
  EXPECT_NEAR(frame[63], WAVEFORM_BASELINE, 1);
  EXPECT_NEAR(frame[127], WAVEFORM_BASELINE, 1);
  // A 14.14 A peak lies above the threshold: through the high segment of
  // outlet 1's factory record, 6000 + (14142.1 - 8370.6) / 1.3751 counts.
  EXPECT_NEAR(frame[31] - WAVEFORM_BASELINE, 10197, 1);
  EXPECT_NEAR(frame[95] - WAVEFORM_BASELINE, -14142.1 / 1.3951, 1);
}

TEST(SimPhysics, CompressorCyclesOnAndOffOverSeconds) {
  SimDriver driver(OneStrip({LoadSpec::Compressor(300.0, 30.0, 10000, 0.4)}), Manual());
  EXPECT_GT(driver.MeasureSummary(0).value[0], 3000);  // running for the first 4 s
  driver.AdvanceClock(std::chrono::milliseconds(3999));
  EXPECT_GT(driver.MeasureSummary(0).value[0], 3000);
  driver.AdvanceClock(std::chrono::milliseconds(1));
  EXPECT_EQ(driver.MeasureSummary(0).value[0], 0);  // resting for 6 s
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  SelectOutlet(driver, 0, 1);
  const auto resting = ReadFrame(driver, pipe);
  for (std::uint16_t sample : resting) EXPECT_EQ(sample, WAVEFORM_BASELINE);
  EXPECT_EQ(EvaluateFrame(resting, driver.CalibrationRecord(0, 1), 100.0).rmsMilliamps, 0.0);
  driver.AdvanceClock(std::chrono::milliseconds(6000));
  EXPECT_GT(driver.MeasureSummary(0).value[0], 3000);
}

TEST(SimPhysics, SwitchedOffStripDrawsNothing) {
  SimDriver driver(OneStrip({LoadSpec::Heater(1000.0), LoadSpec::Smps(100.0)}), Manual());
  driver.SetOn(0, false);
  const Reading summary = driver.MeasureSummary(0);
  EXPECT_EQ(summary.packetIndex, 0x00);
  EXPECT_EQ(summary.value, (std::array<std::uint16_t, 4>{0, 0, 0, 0}));
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  SelectOutlet(driver, 0, 1);
  for (std::uint16_t sample : ReadFrame(driver, pipe)) EXPECT_EQ(sample, WAVEFORM_BASELINE);
  driver.SetOn(0, true);
  EXPECT_EQ(driver.MeasureSummary(0).packetIndex, STATE_ON_BIT);
}

TEST(SimPhysics, SummaryValuesAreClampedToSixteenBits) {
  LoadSpec huge = LoadSpec::Heater(0.0);
  huge.unit = RatingUnit::Milliamps;
  huge.rating = 80000.0;
  SimDriver driver(OneStrip({huge}), Manual());
  EXPECT_EQ(driver.MeasureSummary(0).value[0], 65535);
}

TEST(SimPhysics, CountsInvertTheCalibrationThroughBothSegments) {
  const ChannelCalibration record = DefaultFactoryCalibration()[0];
  for (double mA : {-20000.0, -9000.0, -100.0, 0.0, 250.0, 8370.0, 8371.0, 9000.0, 30000.0}) {
    const double x = CountsFromMilliamps(record, mA);
    EXPECT_NEAR(ApplyCalibration(record, x), mA, 1e-6) << mA;
  }
  EXPECT_GT(CountsFromMilliamps(record, 9000.0), record.threshold);  // through the high segment
  ChannelCalibration passThrough{};
  EXPECT_EQ(CountsFromMilliamps(passThrough, 1234.0), 1234.0);
}

}  // namespace
}  // namespace kvx::sim::test
