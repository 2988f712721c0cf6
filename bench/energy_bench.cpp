// The energy ledger's costs: CPU per summary reading on the acquisition
// thread (the ledger saving its hour every 10 s of readings into a real
// directory), against a listener that only keeps the values under a lock;
// and the report over a year of hourly rows (4 outlets x 8,760 hours),
// against reading the same file.
//   kvx_energy_bench [READINGS]
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "acquisition/control_ids.h"
#include "recording/energy_listener.h"
#include "recording/energy_report.h"
#include "support/temp_dir.h"
#include "listener_floor.h"
#include "verdict.h"

namespace {

using namespace kvx;

using bench::ThreadCpuSeconds;

double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Readings 50 ms apart from 2026-12-08T08:00:00+01:00 on, the hour turning every 72,000.
SummaryReadingEvent Reading(int i) {
  SummaryReadingEvent event;
  event.tick = static_cast<std::uint32_t>(i) * 50;
  const std::time_t local = 1796716800 + i / 20;  // 08:00:00 local (UTC+01:00) as seconds of local time
  std::tm tm{};
  gmtime_r(&local, &tm);
  event.time = LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                         (i % 20) * 50, 3600};
  event.power = true;
  event.values = {1200, 150, static_cast<double>(i % 7), 0};
  return event;
}

bool PerReading(int readings) {
  test::TempDir logs{"kvx-energy-bench"};
  ControlModel controls;
  controls.SetCheck(ids::LOG_CHECK, true);
  recording::EnergyListener ledger(controls, logs.path());
  ledger.OnConnectionOpened({0, ConnectionIdentity{0x1A2B3, "01A2B3", "V2.1L10"}});
  const double cpu0 = ThreadCpuSeconds();
  for (int i = 0; i < readings; ++i) ledger.OnSummaryReading(Reading(i));
  const double figure = (ThreadCpuSeconds() - cpu0) / readings * 1e6;
  const double floor = bench::LockedKeepFloorUs(readings);
  std::printf("ledger per summary reading (%d readings, %d hours): %.3f us CPU; floor %.3f us\n", readings,
              readings / 72000 + 1, figure, floor);
  return bench::VerdictWithin("energy_ledger_per_reading", figure, floor, "us", 1.0);
}

bool YearReport() {
  test::TempDir logs{"kvx-energy-year"};
  {
    std::ofstream out(logs.Path(recording::EnergyLedgerName(0x1A2B3)));
    out << recording::ENERGY_LEDGER_HEADER;
    for (std::int64_t h = 0; h < 8760; ++h) {
      for (int outlet = 1; outlet <= 4; ++outlet) {
        recording::LedgerRow row;
        row.hourStart = 1767222000 + h * 3600;  // 2026-01-01T00:00:00+01:00
        row.utcOffsetSec = 3600;
        row.serial = 0x1A2B3;
        row.outlet = outlet;
        row.energy.microWh = 1200000000 / outlet;
        row.energy.measuredMs = 3600000;
        row.energy.SeePower(1200.0 / outlet);
        out << recording::FormatLedgerRow(row);
      }
    }
  }
  const double read0 = WallSeconds();
  const auto contents = recording::ReadLedger(logs.Path(recording::EnergyLedgerName(0x1A2B3)));
  const double floor = WallSeconds() - read0;
  recording::ReportOptions options;
  options.directory = logs.path();
  std::ostringstream out, err;
  const double report0 = WallSeconds();
  const int status = recording::PrintEnergyReport(options, out, err, 1800000000);
  const double figure = WallSeconds() - report0;
  std::printf("report by day over a year of hourly rows (%zu rows, status %d, %zu bytes): %.3f s; reading alone %.3f s\n",
              contents.rows.size(), status, out.str().size(), figure, floor);
  return bench::VerdictWithin("energy_report_year", figure, floor, "s", 1.0) && status == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int readings = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const bool perReading = PerReading(readings);
  const bool year = YearReport();
  return perReading && year ? 0 : 1;
}
