#include "recording/energy_report.h"
#include <cctype>

#include <dirent.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>
#include <vector>

#include "recording/energy_ledger.h"

namespace kvx::recording {

namespace {

struct Period {
  std::int64_t start = 0;  // Unix seconds
  std::int64_t end = 0;
  std::string label;
};

// Local midnight of a calendar date, months and days past their range carried on.
std::int64_t LocalMidnight(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

Period PeriodOf(const LedgerRow& row, ReportPeriod kind) {
  const std::string hour = FormatHourStart(row.hourStart, row.utcOffsetSec);
  if (kind == ReportPeriod::Hour) return {row.hourStart, row.hourStart + 3600, hour};
  int y = 0, m = 0, d = 0;
  std::sscanf(hour.c_str(), "%d-%d-%d", &y, &m, &d);
  if (kind == ReportPeriod::Day) return {LocalMidnight(y, m, d), LocalMidnight(y, m, d + 1), hour.substr(0, 10)};
  return {LocalMidnight(y, m, 1), LocalMidnight(y, m + 1, 1), hour.substr(0, 7)};
}

std::vector<std::uint32_t> LedgerSerials(const ReportOptions& options) {
  if (options.serial) return {*options.serial};
  std::vector<std::uint32_t> serials;
  DIR* dir = ::opendir(options.directory.c_str());
  if (!dir) return serials;
  while (const dirent* entry = ::readdir(dir)) {
    unsigned serial = 0;
    char tail[8] = {};
    if (std::sscanf(entry->d_name, "kvx-energy-%5X.%4s", &serial, tail) == 2 && std::string(tail) == "csv" &&
        EnergyLedgerName(serial) == entry->d_name)
      serials.push_back(serial);
  }
  ::closedir(dir);
  std::sort(serials.begin(), serials.end());
  return serials;
}

struct Line {
  std::string period, strip, outlet;
  double kWh = 0;
  double measuredPct = 0;
  std::int64_t gaps = 0;
  std::optional<double> peakW;
};

class Printer {
 public:
  Printer(const ReportOptions& options, std::ostream& out) : options_(options), out_(out) {
    if (options_.csv) {
      out_ << "period,strip,outlet,kwh,measured_pct,gaps,peak_w" << (options_.price ? ",cost" : "") << "\n";
    } else {
      Row("period", "strip", "outlet", "kWh", "measured", "gaps", "peak W", options_.price ? "cost" : "");
    }
  }
  void Print(const Line& line) {
    char kWh[32], pct[32], peak[32] = "-", cost[32] = "";
    std::snprintf(kWh, sizeof kWh, "%.3f", line.kWh);
    std::snprintf(pct, sizeof pct, options_.csv ? "%.1f" : "%.1f %%", line.measuredPct);
    if (line.peakW) std::snprintf(peak, sizeof peak, "%.1f", *line.peakW);
    else if (options_.csv) peak[0] = '\0';
    if (options_.price) std::snprintf(cost, sizeof cost, "%.2f", line.kWh * *options_.price);
    if (options_.csv) {
      out_ << line.period << ',' << line.strip << ',' << line.outlet << ',' << kWh << ',' << pct << ',' << line.gaps
           << ',' << peak << (options_.price ? std::string(",") + cost : "") << "\n";
    } else {
      Row(line.period, line.strip, line.outlet, kWh, pct, std::to_string(line.gaps), peak, cost);
    }
  }

 private:
  void Row(const std::string& period, const std::string& strip, const std::string& outlet, const std::string& kWh,
           const std::string& pct, const std::string& gaps, const std::string& peak, const std::string& cost) {
    char text[256];
    std::snprintf(text, sizeof text, "%-25s %-6s %-6s %12s %9s %5s %9s %10s", period.c_str(), strip.c_str(),
                  outlet.c_str(), kWh.c_str(), pct.c_str(), gaps.c_str(), peak.c_str(), cost.c_str());
    std::string line = text;
    line.erase(line.find_last_not_of(' ') + 1);
    out_ << line << "\n";
  }

  const ReportOptions& options_;
  std::ostream& out_;
};

double Percent(std::int64_t measuredMs, std::int64_t seconds) {
  return seconds > 0 ? std::min(100.0, measuredMs / 10.0 / static_cast<double>(seconds)) : 0.0;
}

// One strip's ledger, period by period and outlet by outlet, then its total.
void ReportStrip(const ReportOptions& options, std::uint32_t serial, const std::vector<LedgerRow>& rows,
                 std::int64_t nowUnix, Printer& printer) {
  std::map<std::int64_t, std::pair<Period, std::array<OutletEnergy, 4>>> periods;
  for (const LedgerRow& row : rows) {
    if (row.serial != serial || (options.from && row.hourStart < *options.from) ||
        (options.to && row.hourStart >= *options.to))
      continue;
    const Period period = PeriodOf(row, options.period);
    auto& entry = periods.try_emplace(period.start, period, std::array<OutletEnergy, 4>{}).first->second;
    entry.second[static_cast<std::size_t>(row.outlet - 1)].Add(row.energy);
  }
  char strip[16];
  std::snprintf(strip, sizeof strip, "%05X", serial);
  OutletEnergy total;
  std::int64_t totalSeconds = 0, totalMeasuredMs = 0, totalGaps = 0;
  for (const auto& [start, entry] : periods) {
    const Period& period = entry.first;
    const std::int64_t begin = std::max(period.start, options.from.value_or(period.start));
    const std::int64_t end = std::min({period.end, options.to.value_or(period.end), std::max(nowUnix, begin)});
    std::int64_t measuredMs = 0, gaps = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const OutletEnergy& e = entry.second[k];
      printer.Print({period.label, strip, std::to_string(k + 1), static_cast<double>(e.microWh) / 1e9,
                     Percent(e.measuredMs, end - begin), e.gaps,
                     e.anyPower ? std::optional<double>(e.maxW) : std::nullopt});
      measuredMs = std::max(measuredMs, e.measuredMs);
      gaps = std::max(gaps, e.gaps);
      total.Add(e);
    }
    totalSeconds += end - begin;
    totalMeasuredMs += measuredMs;
    totalGaps += gaps;
  }
  printer.Print({"total", strip, "all", static_cast<double>(total.microWh) / 1e9,
                 Percent(totalMeasuredMs, totalSeconds), totalGaps,
                 total.anyPower ? std::optional<double>(total.maxW) : std::nullopt});
}

}  // namespace

std::optional<ReportPeriod> ParseReportPeriod(std::string_view text) {
  if (text == "hour") return ReportPeriod::Hour;
  if (text == "day") return ReportPeriod::Day;
  if (text == "month") return ReportPeriod::Month;
  return std::nullopt;
}

std::optional<std::int64_t> ParseReportDate(std::string_view text, bool endOfDay) {
  int y = 0, m = 0, d = 0, h = 0, mi = 0, sec = 0;
  char end = 0;
  const std::string copy(text);
  if (copy.size() < 10 || copy[4] != '-' || copy[7] != '-' ||
      std::sscanf(copy.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &end) < 3 || m < 1 || m > 12 || d < 1 || d > 31)
    return std::nullopt;
  if (copy.size() == 10) return LocalMidnight(y, m, endOfDay ? d + 1 : d);
  // "THH:MM" or "THH:MM:SS": digits where digits go, and nothing after.
  const std::string clock = copy.substr(11);
  const auto digits = [&](std::size_t at) {
    return std::isdigit(static_cast<unsigned char>(clock[at])) &&
           std::isdigit(static_cast<unsigned char>(clock[at + 1]));
  };
  if ((copy[10] != 'T' && copy[10] != ' ') || (clock.size() != 5 && clock.size() != 8) || clock[2] != ':' ||
      !digits(0) || !digits(3) || (clock.size() == 8 && (clock[5] != ':' || !digits(6))))
    return std::nullopt;
  h = std::stoi(clock.substr(0, 2));
  mi = std::stoi(clock.substr(3, 2));
  sec = clock.size() == 8 ? std::stoi(clock.substr(6, 2)) : 0;
  if (h > 23 || mi > 59 || sec > 59) return std::nullopt;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

int PrintEnergyReport(const ReportOptions& options, std::ostream& out, std::ostream& err, std::int64_t nowUnix) {
  const std::vector<std::uint32_t> serials = LedgerSerials(options);
  std::vector<std::pair<std::uint32_t, LedgerContents>> ledgers;
  for (const std::uint32_t serial : serials) {
    LedgerContents contents = ReadLedger(options.directory + "/" + EnergyLedgerName(serial));
    if (!contents.error.empty()) err << "kvxclient: " << contents.error << "\n";
    if (contents.exists && contents.error.empty()) ledgers.emplace_back(serial, std::move(contents));
  }
  if (ledgers.empty()) {
    err << "kvxclient: no energy ledger (kvx-energy-" << (options.serial ? EnergyLedgerName(*options.serial).substr(11, 5) : "*")
        << ".csv) in " << options.directory << "; ledgers are written while logging is on\n";
    return 1;
  }
  Printer printer(options, out);
  for (const auto& [serial, contents] : ledgers) {
    if (contents.malformed != 0)
      err << "kvxclient: " << EnergyLedgerName(serial) << ": " << contents.malformed << " malformed lines skipped\n";
    ReportStrip(options, serial, contents.rows, nowUnix, printer);
  }
  return 0;
}

}  // namespace kvx::recording
