// The energy ledger fed as the acquisition thread feeds it, read back from its
// file and through the report: hours split at their ends, the night the
// clocks go back, a kill between two saves, a log directory that goes away
// while the wall clock jumps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <numeric>
#include <sstream>

#include "acquisition/control_ids.h"
#include "recording/energy_listener.h"
#include "recording/energy_report.h"
#include "support/temp_dir.h"

namespace kvx::recording {
namespace {

constexpr std::uint32_t kSerial = 0x1A2B3;

// Local time fields of a moment at a UTC offset.
LocalTime At(std::int64_t unixMs, long offset) {
  const std::time_t local = static_cast<std::time_t>((unixMs - unixMs % 1000) / 1000 + offset);
  std::tm tm{};
  gmtime_r(&local, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                   static_cast<int>(unixMs % 1000), offset};
}

class EnergyLedgerTest : public ::testing::Test {
 protected:
  EnergyLedgerTest() { controls.SetCheck(ids::LOG_CHECK, true); }

  std::unique_ptr<EnergyListener> Ledger(const std::string& dir, std::uint32_t savePeriodMs) {
    auto ledger = std::make_unique<EnergyListener>(controls, dir,
                                                   [this](const std::string& m) { failures.push_back(m); },
                                                   savePeriodMs);
    ledger->OnConnectionOpened({tick, ConnectionIdentity{kSerial, "01A2B3", "V2.1L10"}});
    return ledger;
  }
  // Power readings every second, `watts` on outlet 1, for `seconds` seconds.
  void Feed(EnergyListener& ledger, int seconds, double watts = 1200.0, bool power = true) {
    for (int i = 0; i < seconds; ++i) {
      SummaryReadingEvent event;
      event.tick = tick;
      event.time = At(unixMs, unixMs < offsetChangeMs ? offsetBefore : offsetAfter);
      event.power = power;
      event.values = {watts, 0, 0, 0};
      ledger.OnSummaryReading(event);
      tick += 1000;
      unixMs += 1000;
    }
  }
  static LedgerContents Read(const std::string& dir) { return ReadLedger(dir + "/" + EnergyLedgerName(kSerial)); }
  static std::int64_t Sum(const LedgerContents& c, std::int64_t OutletEnergy::*field, int outlet = 1) {
    std::int64_t sum = 0;
    for (const LedgerRow& row : c.rows)
      if (row.outlet == outlet) sum += row.energy.*field;
    return sum;
  }

  ControlModel controls;
  std::vector<std::string> failures;
  test::TempDir logs{"kvx-ledger"};
  std::uint32_t tick = 0xFFFFF000u;  // across the tick's wrap, too
  std::int64_t unixMs = 1796716245400;  // 2026-12-08T08:50:45.4Z
  std::int64_t offsetChangeMs = INT64_MAX;
  long offsetBefore = 3600, offsetAfter = 3600;
};

TEST_F(EnergyLedgerTest, HoursAreSplitAtTheirEndsAndTheNightTheClocksGoBackHasTwoTwoOClocks) {
  // Berlin, 2026-10-25: 03:00 CEST becomes 02:00 CET at 01:00 UTC.
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  offsetChangeMs = 1792890000000;  // 2026-10-25T01:00:00Z
  offsetBefore = 7200;
  unixMs = offsetChangeMs - 3600000 - 9600;  // 01:59:50.4 CEST
  {
    auto ledger = Ledger(logs.path(), EnergyListener::SAVE_PERIOD_MS);
    Feed(*ledger, 7221);  // to 03:00:10.4 CET
  }
  const LedgerContents ledger = Read(logs.path());
  ASSERT_EQ(ledger.rows.size(), 16u);
  const char* hours[] = {"2026-10-25T01:00:00+02:00", "2026-10-25T02:00:00+02:00", "2026-10-25T02:00:00+01:00",
                         "2026-10-25T03:00:00+01:00"};
  const std::int64_t measuredMs[] = {9600, 3600000, 3600000, 10400};
  for (std::size_t h = 0; h < 4; ++h) {
    const LedgerRow& row = ledger.rows[h * 4];
    EXPECT_EQ(FormatHourStart(row.hourStart, row.utcOffsetSec), hours[h]);
    EXPECT_EQ(row.energy.measuredMs, measuredMs[h]) << hours[h];
    // 1200 W for that long, to the micro-watt-hour (the first row of a run carries its round-up).
    EXPECT_NEAR(row.energy.microWh, measuredMs[h] * 1000.0 / 3.0, 2.0) << hours[h];
    EXPECT_EQ(row.energy.gaps, h == 3 ? 1 : 0) << hours[h];
    EXPECT_EQ(ledger.rows[h * 4 + 1].energy.microWh, 0);
  }
  // A 25-hour day: 7,220 s of it measured.
  std::ostringstream out, err;
  ReportOptions options;
  options.directory = logs.path();
  options.csv = true;
  EXPECT_EQ(PrintEnergyReport(options, out, err, 2000000000), 0) << err.str();
  EXPECT_NE(out.str().find("\n2026-10-25,1A2B3,1,2.407,8.0,1,1200.0\n"), std::string::npos) << out.str();
  ::unsetenv("TZ");
  ::tzset();
}

TEST_F(EnergyLedgerTest, AKillLosesOnlyTheTimeSinceTheLastSaveAndCountsNothingTwice) {
  const test::TempDir killed{"kvx-ledger-killed"};
  double shownBeforeKill = 0;
  {
    auto ledger = Ledger(logs.path(), 5000);
    Feed(*ledger, 23);  // saved at 0, 5, 10, 15 and 20 s
    shownBeforeKill = ledger->Figures(kSerial)->joules[0];
    // What a kill leaves on disk now: the run below goes on from that copy.
    for (const auto& file : std::filesystem::directory_iterator(logs.path()))
      std::filesystem::copy(file.path(), killed.Path(file.path().filename().string()));
  }  // this one stops cleanly: all 22 s
  EXPECT_EQ(Sum(Read(logs.path()), &OutletEnergy::measuredMs), 22000);

  auto restarted = Ledger(killed.path(), 5000);
  EXPECT_GE(restarted->Figures(kSerial)->joules[0], shownBeforeKill);  // the counter never goes back
  EXPECT_EQ(restarted->Figures(kSerial)->measuredSeconds[0], 20.0);
  unixMs += 30000;  // the time the client was away
  tick += 30000;
  Feed(*restarted, 5);
  restarted->Finish();
  const LedgerContents after = Read(killed.path());
  EXPECT_EQ(Sum(after, &OutletEnergy::measuredMs), 24000);  // 20 s saved before the kill, 4 s after
  EXPECT_NEAR(Sum(after, &OutletEnergy::microWh), 24000 * 1000.0 / 3.0, 4.0);
  EXPECT_EQ(Sum(after, &OutletEnergy::gaps), 2);  // the kill and the final stop
  EXPECT_EQ(after.malformed, 0u);
  EXPECT_TRUE(failures.empty());
}

TEST_F(EnergyLedgerTest, ADirectoryThatGoesAwayIsSaidOnceAndItsRowsComeLater) {
  const std::string dir = logs.Path("logs");
  std::filesystem::create_directory(dir);
  auto ledger = Ledger(dir, 0);
  Feed(*ledger, 3);
  std::filesystem::remove_all(dir);
  unixMs += 3600000;  // the wall clock jumps into the next hour (whose commit fails too); the tick does not
  Feed(*ledger, 5);
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_FALSE(ledger->Failure().empty());
  std::filesystem::create_directory(dir);
  Feed(*ledger, 2);
  EXPECT_TRUE(ledger->Failure().empty());
  ledger->Finish();
  const LedgerContents contents = Read(dir);
  EXPECT_EQ(contents.malformed, 0u);
  // Every second the tick saw, once: 2 s, the one across the jump, 4 s, 2 s.
  EXPECT_EQ(Sum(contents, &OutletEnergy::measuredMs), 9000);
  EXPECT_EQ(failures.size(), 1u);
}

}  // namespace
}  // namespace kvx::recording
