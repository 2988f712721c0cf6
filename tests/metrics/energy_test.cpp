// The energy integrator against exact numbers: trapezoids of known loads over
// known times, and what breaks the chain (gaps, current readings, reconnects).
#include "metrics/energy.h"

#include <gtest/gtest.h>

namespace kvx::metrics {
namespace {

using Watts = std::array<double, 4>;

TEST(EnergyIntegrator, ConstantLoadOverAMinuteIsPowerTimesTime) {
  EnergyIntegrator energy;
  // 1200 W, 150 W, nothing and 0.5 W, a reading every 125 ms (exact in
  // binary, so the sum is exact too) for 60 s.
  for (std::uint32_t t = 0; t <= 60000; t += 125) energy.AddReading(t, true, Watts{1200, 150, 0, 0.5});
  EXPECT_DOUBLE_EQ(energy.joules()[0], 72000.0);  // 20 Wh
  EXPECT_DOUBLE_EQ(energy.joules()[1], 9000.0);
  EXPECT_DOUBLE_EQ(energy.joules()[2], 0.0);
  EXPECT_DOUBLE_EQ(energy.joules()[3], 30.0);
  EXPECT_DOUBLE_EQ(energy.joules()[0] / JOULES_PER_WATT_HOUR, 20.0);
}

TEST(EnergyIntegrator, ARampIsIntegratedAsTrapezoids) {
  EnergyIntegrator energy;
  energy.AddReading(1000, true, Watts{0, 100, 0, 0});
  energy.AddReading(3000, true, Watts{100, 100, 0, 0});  // 2 s: (0+100)/2*2 = 100 J
  energy.AddReading(4000, true, Watts{300, 0, 0, 0});    // 1 s: (100+300)/2 = 200 J
  EXPECT_DOUBLE_EQ(energy.joules()[0], 300.0);
  EXPECT_DOUBLE_EQ(energy.joules()[1], 250.0);  // 200 + 50
}

TEST(EnergyIntegrator, TheFirstReadingAloneGivesNothing) {
  EnergyIntegrator energy;
  energy.AddReading(5000, true, Watts{1000, 1000, 1000, 1000});
  EXPECT_EQ(energy.joules(), (Watts{0, 0, 0, 0}));
}

TEST(EnergyIntegrator, GapsOfMoreThanFiveSecondsAreNotBridged) {
  EnergyIntegrator energy;
  energy.AddReading(0, true, Watts{100, 0, 0, 0});
  energy.AddReading(5000, true, Watts{100, 0, 0, 0});   // exactly 5 s: integrated, 500 J
  energy.AddReading(10001, true, Watts{100, 0, 0, 0});  // 5.001 s: a gap, nothing
  energy.AddReading(11001, true, Watts{100, 0, 0, 0});  // the chain goes on from the gap's end: 100 J
  EXPECT_DOUBLE_EQ(energy.joules()[0], 600.0);
}

TEST(EnergyIntegrator, CurrentReadingsBreakTheChainAndAddNothing) {
  EnergyIntegrator energy;
  energy.AddReading(0, true, Watts{100, 0, 0, 0});
  energy.AddReading(1000, false, Watts{5000, 5000, 0, 0});  // milliamperes, not watts
  energy.AddReading(2000, true, Watts{100, 0, 0, 0});       // no trapezoid back to 0 ms
  energy.AddReading(3000, true, Watts{100, 0, 0, 0});
  EXPECT_DOUBLE_EQ(energy.joules()[0], 100.0);
  EXPECT_DOUBLE_EQ(energy.joules()[1], 0.0);
}

TEST(EnergyIntegrator, AReconnectStartsANewChainAndKeepsTheTotal) {
  EnergyIntegrator energy;
  energy.AddReading(0, true, Watts{60, 0, 0, 0});
  energy.AddReading(1000, true, Watts{60, 0, 0, 0});
  energy.Interrupt();
  energy.AddReading(1500, true, Watts{60, 0, 0, 0});  // within 5 s, but another connection
  energy.AddReading(2500, true, Watts{60, 0, 0, 0});
  EXPECT_DOUBLE_EQ(energy.joules()[0], 120.0);
}

TEST(EnergyIntegrator, TheTickWrapIsCrossedAndSameTickReadingsAddNothing) {
  EnergyIntegrator energy;
  energy.AddReading(0xFFFFFC18u, true, Watts{10, 0, 0, 0});  // 1 s before the wrap
  energy.AddReading(0x000003E8u, true, Watts{10, 0, 0, 0});  // 1 s after it
  energy.AddReading(0x000003E8u, true, Watts{90, 0, 0, 0});  // same tick: zero width
  EXPECT_DOUBLE_EQ(energy.joules()[0], 20.0);
}

}  // namespace
}  // namespace kvx::metrics
