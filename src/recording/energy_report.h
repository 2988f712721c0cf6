// The energy report: the ledgers of a log directory summed by hour, day or
// month and outlet, with the share of each period that was measured, the gaps
// that began in it, the peak power and, given a price, the cost; a total row
// per strip closes it. It reads only the ledger files.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace kvx::recording {

enum class ReportPeriod { Hour, Day, Month };

struct ReportOptions {
  ReportPeriod period = ReportPeriod::Day;
  std::string directory = ".";
  std::optional<std::uint32_t> serial;  // one strip; none: every ledger in the directory
  std::optional<std::int64_t> from;     // Unix seconds, inclusive
  std::optional<std::int64_t> to;       // Unix seconds, exclusive
  std::optional<double> price;          // per kWh
  bool csv = false;
};

// "hour", "day" or "month".
std::optional<ReportPeriod> ParseReportPeriod(std::string_view text);
// "YYYY-MM-DD" as the local midnight that begins it (the process's time
// zone), or with `end` the one that ends it; "YYYY-MM-DDTHH:MM[:SS]" (or a
// blank for the T) as that local moment, whether `end` or not.
std::optional<std::int64_t> ParseReportDate(std::string_view text, bool end = false);

// Prints the report on `out` and returns 0; says on `err` and returns 1 when
// there is no ledger to report on. `nowUnix` ends the period in progress.
int PrintEnergyReport(const ReportOptions& options, std::ostream& out, std::ostream& err, std::int64_t nowUnix);

}  // namespace kvx::recording
