// --energy-report: the energy ledgers' report, printed and done; no strip,
// no display, no thread.
#pragma once

#include <ostream>

#include "app/program_options.h"

namespace kvx {

// The exit status: 0 printed, 1 no ledger to report on.
int RunEnergyReport(const ProgramOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kvx
