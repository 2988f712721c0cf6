// The acquisition thread against the simulated strip, on the real clock with
// short pacing: for every outlet the effective current and the active power
// computed from its waveform agree with the strip's own summary values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "acquisition/acquisition_thread.h"
#include "acquisition/control_ids.h"
#include "device/sim/sim_driver.h"
#include "recording_fakes.h"
#include "support/wait_for.h"

namespace kvx {
namespace {

using test::WaitFor;

using protocol::QUANTITY_CURRENT;
using protocol::QUANTITY_POWER;

constexpr std::uint32_t SERIAL = 0x1A2B3;

sim::Scenario ShortPacedScenario() {
  sim::StripSpec strip;
  strip.serial = SERIAL;
  strip.summaryIntervalMs = 4;
  strip.waveformIntervalMs = 1;  // a frame every 32 ms
  strip.outlets = {sim::LoadSpec::Heater(1000.0), sim::LoadSpec::Smps(150.0, 60.0, -10.0),
                   sim::LoadSpec::Compressor(400.0, 40.0, 0, 1.0), sim::LoadSpec::Heater(60.0)};
  sim::Scenario scenario;
  scenario.strips.push_back(strip);
  return scenario;
}

class SimEndToEndTest : public ::testing::Test {
 protected:
  SimEndToEndTest()
      : driver(ShortPacedScenario()), state(driver), thread(state, graph, window, DefaultClock()) {
    thread.AddListener(recorder);
  }
  ~SimEndToEndTest() override { thread.Stop(); }

  // The summary values of the strip in one quantity, as the thread logs them.
  std::array<double, 4> SummaryOf(std::uint8_t quantity) {
    state.selectedQuantity.store(quantity);
    const int kind = quantity == QUANTITY_POWER ? LOG_KIND_POWER : LOG_KIND_CURRENT;
    std::size_t seen = 0;
    EXPECT_TRUE(WaitFor([&] {
      const auto logged = recorder.Readings();
      seen = 0;
      for (const auto& r : logged) seen += r.kind == kind ? 1 : 0;
      return seen >= 5;
    }));
    return recorder.Readings().back().present;
  }

  // The one-outlet value (label 6003) once a few whole frames of the outlet have been evaluated.
  double WaveValueOf(int outlet, bool power) {
    state.controls.Click(power ? ids::WAVE_POWER_RADIO : ids::WAVE_CURRENT_RADIO);
    state.selectedOutlet.store(static_cast<std::uint8_t>(outlet));
    const std::uint64_t frames = thread.Status().waveformFrames;
    EXPECT_TRUE(WaitFor([&] { return thread.Status().waveformFrames >= frames + 3; }));
    return std::strtod(state.controls.GetText(ids::WAVE_VALUE).c_str(), nullptr);
  }

  sim::SimDriver driver;
  AppState state;
  test::RecordingRecorder recorder;
  test::RecordingGraph graph;
  test::RecordingWindow window;
  AcquisitionThread thread;
};

TEST_F(SimEndToEndTest, WaveformValuesAgreeWithTheStripsSummaryValues) {
  state.startup = StartupValues{SERIAL, {0, 1, 0}, 0};
  state.threadRunFlag.store(1);
  state.readLoopRunFlag.store(1);
  ASSERT_TRUE(thread.Start());

  const std::array<double, 4> milliamps = SummaryOf(QUANTITY_CURRENT);
  const std::array<double, 4> watts = SummaryOf(QUANTITY_POWER);
  for (int outlet = 1; outlet <= 4; ++outlet) {
    const std::size_t k = static_cast<std::size_t>(outlet) - 1;
    ASSERT_GT(milliamps[k], 100.0) << "outlet " << outlet;
    ASSERT_GT(watts[k], 10.0) << "outlet " << outlet;
    const double current = WaveValueOf(outlet, false);
    const double power = WaveValueOf(outlet, true);
    EXPECT_NEAR(current, milliamps[k], 0.03 * milliamps[k]) << "outlet " << outlet;
    EXPECT_NEAR(power, watts[k], 0.03 * watts[k] + 0.5) << "outlet " << outlet;
  }
  const AcquisitionStatus status = thread.Status();
  EXPECT_EQ(status.connectionSerial, SERIAL);
  EXPECT_TRUE(status.supplyVolts.valid);
  EXPECT_EQ(status.supplyVolts.value, 100.0);
  EXPECT_EQ(state.controls.GetText(ids::FREQUENCY_VALUE), "50.00");
}

}  // namespace
}  // namespace kvx
