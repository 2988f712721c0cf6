// kvxclient: the window on a display, or --headless for unattended logging.
#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/program_options.h"
#include "app/stop_request.h"
#include "device/backends/backend_registry.h"
#include "device/clock.h"
#include "device/printable_text.h"
#ifdef KVX_HAVE_UI
#include <QCoreApplication>

#include "power/logind_sleep_watcher.h"
#include "ui/run_window.h"
#endif

int main(int argc, char** argv) {
  // First, before any thread: a stop signal from now on is kept for the loop,
  // and a closed output is a write error rather than the end.
  kvx::InstallStopSignalHandlers();
  const kvx::ProgramArguments arguments = kvx::SplitProgramArguments(argc, argv);
  kvx::ProgramOptions options;
  std::string error;
  if (!kvx::ParseProgramOptions(arguments.options, options, error)) {
    std::cerr << "kvxclient: " << kvx::PrintableText(error) << "\n(see --help)\n";
    return kvx::EXIT_COMMAND_LINE_ERROR;
  }
  if (options.help) {
    std::cout << kvx::UsageText("kvxclient");
    return kvx::EXIT_CLEAN_STOP;
  }
  if (options.version) {
    std::cout << kvx::VersionText();
    return kvx::EXIT_CLEAN_STOP;
  }
  // The backend takes its own options; an option of another backend, or one
  // it cannot use, is a mistake on the command line like any other.
  std::unique_ptr<kvx::device::Driver> driver =
      kvx::device::CreateDriver(options.driverName, options.windowOptions, error);
  if (!driver) {
    std::cerr << "kvxclient: " << kvx::PrintableText(error) << "\n(see --help)\n";
    return kvx::EXIT_COMMAND_LINE_ERROR;
  }
  if (options.headless && !options.windowOptions.empty()) {
    std::cerr << "kvxclient: unknown option " << kvx::PrintableText(options.windowOptions.front()) << "\n(see --help)\n";
    return kvx::EXIT_COMMAND_LINE_ERROR;
  }

  if (options.headless) {
    kvx::HeadlessOptions headless;
    headless.commandLineText = arguments.commandLineText;
    headless.logDirectory = options.logDirectory;
    headless.durationMs = options.durationMs;
    headless.metrics = options.metrics;
#ifdef KVX_HAVE_UI
    // No window, but the suspend notice comes over D-Bus, which needs Qt's core.
    QCoreApplication application(argc, argv);
    kvx::LogindSleepWatcher sleepWatcher;
    return kvx::RunHeadless(*driver, kvx::DefaultClock(), headless, &sleepWatcher);
#else
    return kvx::RunHeadless(*driver, kvx::DefaultClock(), headless);
#endif
  }
#ifdef KVX_HAVE_UI
  return kvx::ui::RunWindow(argc, argv, *driver, arguments.commandLineText, options);
#else
  std::cerr << "kvxclient: this build has no window; use --headless\n";
  return kvx::EXIT_FAILURE_STATUS;
#endif
}
