// kvxclient: the window on a display, or --headless for unattended logging.
#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/program_options.h"
#include "app/stop_request.h"
#include "device/clock.h"
#include "device/printable_text.h"
#include "device/sim/sim_driver.h"
#ifdef KVX_HAVE_UI
#include <QCoreApplication>

#include "app/logind_sleep_watcher.h"
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
  if (options.headless && !options.windowOptions.empty()) {
    std::cerr << "kvxclient: unknown option " << kvx::PrintableText(options.windowOptions.front()) << "\n(see --help)\n";
    return kvx::EXIT_COMMAND_LINE_ERROR;
  }
  kvx::sim::Scenario scenario = kvx::sim::DefaultScenario();
  if (!options.scenarioFile.empty()) {
    auto loaded = kvx::sim::LoadScenarioFile(options.scenarioFile, error);
    if (!loaded) {
      // A scenario that cannot be used is a wrong option, like a bad value.
      std::cerr << "kvxclient: cannot use scenario " << kvx::PrintableText(options.scenarioFile) << ": "
                << kvx::PrintableText(error) << '\n';
      return kvx::EXIT_COMMAND_LINE_ERROR;
    }
    scenario = std::move(*loaded);
  }
  auto driver = std::make_unique<kvx::sim::SimDriver>(std::move(scenario));
  if (!options.traceFile.empty() && !driver->OpenTrace(options.traceFile, error)) {
    std::cerr << "kvxclient: cannot write trace " << kvx::PrintableText(options.traceFile) << ": "
              << kvx::PrintableText(error) << '\n';
    return kvx::EXIT_COMMAND_LINE_ERROR;
  }

  if (options.headless) {
    kvx::HeadlessOptions headless;
    headless.commandLineText = arguments.commandLineText;
    headless.logDirectory = options.logDirectory;
    headless.durationMs = options.durationMs;
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
