// The collector fed as the acquisition thread feeds it, read back through the
// text exposition a scrape gets: which gauges are present in which situation,
// base units, counters carried across reconnects and strips, energy.
#include "metrics/collector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "acquisition/control_ids.h"
#include "metrics/exposition.h"
#include "recording/energy_listener.h"
#include "support/temp_dir.h"

namespace kvx::metrics {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class CollectorTest : public ::testing::Test {
 protected:
  std::string Text() const { return FormatExposition(*board.Read()); }

  // A connection as the thread makes it: identity, then the Reading state.
  void Connect(std::uint32_t serial, const char* firmware = "V2.1L10") {
    status.connectionSerial = serial;
    status.state = ConnectionState::Opening;
    status.connected = false;
    collector.OnStatus(status);
    ledger.OnConnectionOpened({0, ConnectionIdentity{serial, "", firmware}});
    collector.OnConnectionOpened({0, ConnectionIdentity{serial, "", firmware}});
    ++status.connections;
    status.state = ConnectionState::Reading;
    status.connected = true;
    collector.OnStatus(status);
  }
  void Disconnect() {
    ledger.OnConnectionEnded({});
    status.state = ConnectionState::Idle;
    status.connected = false;
    collector.OnStatus(status);
  }
  void Environment(double volts, double hertz, double celsius, bool celsiusValid = true) {
    status.supplyVolts = {volts, true};
    status.lineFrequencyHz = {hertz, true};
    status.temperatureC = {celsius, celsiusValid};
    ++status.environmentRefreshes;
    collector.OnStatus(status);
  }
  void Summary(std::uint32_t tick, bool power, std::array<double, 4> values, bool on = true) {
    SummaryReadingEvent event;
    event.tick = tick;
    event.time = wall;
    event.power = power;
    event.isOn = on;
    event.values = values;
    ledger.OnSummaryReading(event);
    collector.OnSummaryReading(event);
    ++status.readings;
    ++status.readingsAccepted;
    collector.OnStatus(status);
  }

  // A sample's value in the text ("name{labels}" as written).
  static double Sample(const std::string& text, const std::string& series) {
    const std::size_t at = text.find("\n" + series + " ");
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + series.size() + 2));
  }

  MetricsBoard board;
  LogFacts log;
  LocalTime wall{2026, 12, 8, 8, 50, 45, 500, 3600};  // 1796716245.5 s, at UTC+01:00
  // The energy comes from a real ledger, logging on, its state saved at every reading.
  test::TempDir logs{"kvx-collector"};
  ControlModel controls;
  const bool logging = [this] {
    controls.SetCheck(ids::LOG_CHECK, true);
    return true;
  }();
  recording::EnergyListener ledger{controls, logs.path(), {}, 0};
  MetricsCollector collector{board, [this] { return log; }, [this](std::uint32_t serial) {
                               const auto figures = ledger.Figures(serial);
                               return figures ? std::optional<EnergyTotals>(EnergyTotals{
                                                    figures->joules, figures->measuredSeconds,
                                                    figures->createdUnixSeconds})
                                              : std::nullopt;
                             }};
  AcquisitionStatus status;
};

TEST_F(CollectorTest, BeforeAnyConnectionOnlyTheLoggingFiguresAreShown) {
  EXPECT_EQ(Text(),
            "# HELP kvx_logging_failing 1 while CSV records cannot be written.\n"
            "# TYPE kvx_logging_failing gauge\n"
            "kvx_logging_failing 0\n"
            "# HELP kvx_log_records_total CSV records written.\n"
            "# TYPE kvx_log_records_total counter\n"
            "kvx_log_records_total 0\n");
}

TEST_F(CollectorTest, PowerReadingsShowWattsAndNoCurrent) {
  Connect(0x1A2B3);
  Environment(100, 50, 25.34);
  log = {false, 7};
  Summary(1000, true, {1200, 150.5, 0, 3});
  const std::string text = Text();
  EXPECT_THAT(text, HasSubstr("# TYPE kvx_outlet_power_watts gauge\n"
                              "kvx_outlet_power_watts{serial=\"01A2B3\",outlet=\"1\"} 1200\n"
                              "kvx_outlet_power_watts{serial=\"01A2B3\",outlet=\"2\"} 150.5\n"
                              "kvx_outlet_power_watts{serial=\"01A2B3\",outlet=\"3\"} 0\n"
                              "kvx_outlet_power_watts{serial=\"01A2B3\",outlet=\"4\"} 3\n"));
  EXPECT_THAT(text, Not(HasSubstr("kvx_outlet_current_amperes")));
  EXPECT_THAT(text, Not(HasSubstr("kvx_outlet_rms_current_amperes")));
  EXPECT_THAT(text, HasSubstr("kvx_supply_voltage_volts{serial=\"01A2B3\"} 100\n"));
  EXPECT_THAT(text, HasSubstr("kvx_supply_frequency_hertz{serial=\"01A2B3\"} 50\n"));
  EXPECT_THAT(text, HasSubstr("kvx_strip_temperature_celsius{serial=\"01A2B3\"} 25.34\n"));
  EXPECT_THAT(text, HasSubstr("kvx_strip_on{serial=\"01A2B3\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("kvx_strip_connected{serial=\"01A2B3\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("kvx_strip_info{serial=\"01A2B3\",firmware=\"V2.1L10\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("kvx_last_reading_timestamp_seconds{serial=\"01A2B3\"} 1796716245.5\n"));
  EXPECT_THAT(text, HasSubstr("kvx_readings_total{serial=\"01A2B3\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("kvx_connections_total{serial=\"01A2B3\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("kvx_log_records_total 7\n"));
}

TEST_F(CollectorTest, CurrentReadingsShowAmperesAndAddNoEnergy) {
  Connect(0x345);
  Summary(1000, false, {12000, 250, 0, 0}, false);
  Summary(2000, false, {12000, 250, 0, 0}, false);
  const std::string text = Text();
  EXPECT_THAT(text, HasSubstr("kvx_outlet_current_amperes{serial=\"000345\",outlet=\"1\"} 12\n"
                              "kvx_outlet_current_amperes{serial=\"000345\",outlet=\"2\"} 0.25\n"));
  EXPECT_THAT(text, Not(HasSubstr("kvx_outlet_power_watts")));
  EXPECT_THAT(text, HasSubstr("kvx_strip_on{serial=\"000345\"} 0\n"));
  EXPECT_THAT(text, HasSubstr("kvx_outlet_energy_joules_total{serial=\"000345\",outlet=\"1\"} 0\n"));
}

TEST_F(CollectorTest, ABadTemperatureAndLineValuesOfAnEarlierConnectionAreAbsent) {
  Connect(0x345);
  Environment(100, 50, 0, false);
  EXPECT_THAT(Text(), Not(HasSubstr("kvx_strip_temperature_celsius")));
  EXPECT_THAT(Text(), HasSubstr("kvx_supply_voltage_volts{serial=\"000345\"} 100\n"));
  Disconnect();
  Connect(0x345);  // the status still holds the old connection's line quantities
  EXPECT_THAT(Text(), Not(HasSubstr("kvx_supply_voltage_volts")));
  Environment(101, 60, 30);
  EXPECT_THAT(Text(), HasSubstr("kvx_supply_voltage_volts{serial=\"000345\"} 101\n"));
}

TEST_F(CollectorTest, TheWaveformViewShowsOnlyTheOutletShown) {
  Connect(0x345);
  Summary(1000, true, {10, 20, 30, 40});
  collector.OnWaveformValue({0, wall, 2, false, 1250.0});
  std::string text = Text();
  EXPECT_THAT(text, HasSubstr("kvx_outlet_rms_current_amperes{serial=\"000345\",outlet=\"2\"} 1.25\n"));
  EXPECT_THAT(text, Not(HasSubstr("outlet=\"1\"} 1.25")));
  EXPECT_THAT(text, Not(HasSubstr("kvx_outlet_power_watts")));
  EXPECT_THAT(text, Not(HasSubstr("kvx_outlet_active_power_watts")));
  collector.OnWaveformValue({0, wall, 4, true, 612.5});
  text = Text();
  EXPECT_THAT(text, HasSubstr("kvx_outlet_active_power_watts{serial=\"000345\",outlet=\"4\"} 612.5\n"));
  EXPECT_THAT(text, Not(HasSubstr("kvx_outlet_rms_current_amperes")));
}

TEST_F(CollectorTest, ADisconnectedStripKeepsItsCountersAndLosesItsGauges) {
  Connect(0x1A2B3);
  Environment(100, 50, 25);
  Summary(0, true, {100, 0, 0, 0});
  Summary(1000, true, {100, 0, 0, 0});
  ++status.emptyReads;
  ++status.readingsDropped;
  collector.OnStatus(status);
  Disconnect();
  const std::string text = Text();
  EXPECT_THAT(text, HasSubstr("kvx_strip_connected{serial=\"01A2B3\"} 0\n"));
  for (const char* gone : {"kvx_outlet_power_watts", "kvx_supply_voltage_volts", "kvx_strip_on"}) {
    EXPECT_THAT(text, Not(HasSubstr(gone)));
  }
  EXPECT_THAT(text, HasSubstr("kvx_readings_total{serial=\"01A2B3\"} 2\n"));
  EXPECT_THAT(text, HasSubstr("kvx_readings_dropped_total{serial=\"01A2B3\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("kvx_read_timeouts_total{serial=\"01A2B3\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("kvx_outlet_energy_joules_total{serial=\"01A2B3\",outlet=\"1\"} 100\n"));
  EXPECT_THAT(text, HasSubstr("kvx_last_reading_timestamp_seconds{serial=\"01A2B3\"} 1796716245.5\n"));
}

TEST_F(CollectorTest, CountersAndEnergyGoOnAcrossReconnectsAndAreKeptPerStrip) {
  Connect(0x1A2B3);
  Summary(0, true, {100, 0, 0, 0});
  Summary(1000, true, {100, 0, 0, 0});  // 100 J
  Disconnect();
  Connect(0x2C4D5, "V1.0L01");
  Summary(1500, true, {50, 0, 0, 0});
  Summary(2500, true, {50, 0, 0, 0});  // 50 J for the other strip
  Disconnect();
  Connect(0x1A2B3);
  Summary(3000, true, {100, 0, 0, 0});  // within 5 s of 1000 ms, but a new connection
  Summary(4000, true, {100, 0, 0, 0});  // 100 J more
  const std::string text = Text();
  EXPECT_THAT(text, HasSubstr("kvx_strip_connected{serial=\"01A2B3\"} 1\n"
                              "kvx_strip_connected{serial=\"02C4D5\"} 0\n"));
  EXPECT_THAT(text, HasSubstr("kvx_strip_info{serial=\"02C4D5\",firmware=\"V1.0L01\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("kvx_readings_total{serial=\"01A2B3\"} 4\n"
                              "kvx_readings_total{serial=\"02C4D5\"} 2\n"));
  EXPECT_THAT(text, HasSubstr("kvx_connections_total{serial=\"01A2B3\"} 2\n"
                              "kvx_connections_total{serial=\"02C4D5\"} 1\n"));
  // The first connection's 100 J came back from the ledger's rows, rounded up
  // to whole micro-watt-hours and one more (0.0044 J): never less than shown.
  const double first = Sample(text, "kvx_outlet_energy_joules_total{serial=\"01A2B3\",outlet=\"1\"}");
  EXPECT_GE(first, 200.0);
  EXPECT_NEAR(first, 200.0, 0.01);
  EXPECT_NEAR(Sample(text, "kvx_outlet_energy_joules_total{serial=\"02C4D5\",outlet=\"1\"}"), 50.0, 0.01);
  EXPECT_EQ(Sample(text, "kvx_outlet_energy_measured_seconds_total{serial=\"01A2B3\",outlet=\"1\"}"), 2.0);
}

TEST_F(CollectorTest, LoggingFailingAndRecordsFollowTheRecorder) {
  Connect(0x345);
  log = {true, 3};
  Summary(0, true, {0, 0, 0, 0});
  EXPECT_THAT(Text(), HasSubstr("kvx_logging_failing 1\n"));
  log = {false, 4};
  Summary(1000, true, {0, 0, 0, 0});
  EXPECT_THAT(Text(), HasSubstr("kvx_logging_failing 0\n"));
  EXPECT_THAT(Text(), HasSubstr("kvx_log_records_total 4\n"));
}

TEST_F(CollectorTest, EveryFamilyHasHelpAndTypeBeforeItsSamplesAndLabelsAreEscaped) {
  Connect(0x345, "V\"1\\");
  Environment(100, 50, 25);
  Summary(0, true, {1, 2, 3, 4});
  const std::string text = Text();
  EXPECT_THAT(text, HasSubstr("firmware=\"V\\\"1\\\\\""));
  std::istringstream lines(text);
  std::string line;
  std::string family;
  std::set<std::string> seen;
  while (std::getline(lines, line)) {
    if (line.rfind("# HELP ", 0) == 0) {
      family = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_TRUE(seen.insert(family).second) << "family twice: " << family;
      ASSERT_TRUE(std::getline(lines, line));
      EXPECT_TRUE(line == "# TYPE " + family + " gauge" || line == "# TYPE " + family + " counter") << line;
      EXPECT_EQ(line.ends_with("counter"), family.ends_with("_total")) << line;
      continue;
    }
    EXPECT_EQ(line.substr(0, line.find_first_of("{ ")), family) << line;
  }
  EXPECT_EQ(seen.size(), 17u);  // all but current (power is read) and the waveform view's two
}

}  // namespace
}  // namespace kvx::metrics
