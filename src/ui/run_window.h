// The window's entry point for main().
#pragma once

#include <string>

#include "app/program_options.h"
#include "metrics/web_config.h"
#include "device/driver.h"

namespace kvx::ui {

// Runs the client with its window on `driver` and returns the process's exit
// status. `commandLineText` holds the five start-up values as one text
// ("%x %d %d %d %d"; an error there is shown in the message box and gives
// EXIT_COMMAND_LINE_ERROR without showing the dialog). Of `options` the log
// directory and the window's own options are used: --screenshot=FILE with
// --select=NODE (strip:P, calc:P, waves:P, wave:P:N) and --wait=MS write a PNG
// of the window once the node is selected and MS milliseconds of readings
// have passed, then exit with 0. An unknown window option is reported on
// stderr with EXIT_COMMAND_LINE_ERROR. Without a display to open the window on
// it says so on stderr, pointing to --headless, and returns
// EXIT_FAILURE_STATUS. argc/argv go to QApplication.
int RunWindow(int& argc, char** argv, device::Driver& driver, const std::string& commandLineText,
              const ProgramOptions& options, const metrics::WebConfig& metricsWeb = {});

}  // namespace kvx::ui
