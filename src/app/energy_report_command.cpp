#include "app/energy_report_command.h"

#include <ctime>

#include "app/exit_status.h"
#include "recording/energy_report.h"

namespace kvx {

int RunEnergyReport(const ProgramOptions& options, std::ostream& out, std::ostream& err) {
  recording::ReportOptions report;
  report.period = recording::ParseReportPeriod(options.energyReport.value_or("day")).value_or(recording::ReportPeriod::Day);
  report.directory = options.logDirectory;
  report.serial = options.reportSerial;
  report.from = options.reportFrom;
  report.to = options.reportTo;
  report.price = options.reportPrice;
  report.csv = options.reportCsv;
  const int status = recording::PrintEnergyReport(report, out, err, std::time(nullptr));
  out.flush();
  return status == 0 ? EXIT_CLEAN_STOP : EXIT_FAILURE_STATUS;
}

}  // namespace kvx
