// kvxclient: the window on a display, or --headless for unattended logging.
#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/program_options.h"
#include "device/clock.h"
#include "device/sim/sim_driver.h"
#ifdef KVX_HAVE_UI
#include <QCoreApplication>

#include "app/logind_sleep_watcher.h"
#include "ui/run_window.h"
#endif

int main(int argc, char** argv) {
  const kvx::ProgramArguments arguments = kvx::SplitProgramArguments(argc, argv);
  kvx::ProgramOptions options;
  std::string error;
  if (!kvx::ParseProgramOptions(arguments.options, options, error)) {
    std::cerr << "kvxclient: " << error << "\n(see --help)\n";
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
    std::cerr << "kvxclient: unknown option " << options.windowOptions.front() << "\n(see --help)\n";
    return kvx::EXIT_COMMAND_LINE_ERROR;
  }
  if (options.headless) {
    // Stop signals are taken by the main loop; block them before the
    // simulated driver starts its thread, so that every thread inherits the mask.
    kvx::BlockStopSignals();
  }

  kvx::sim::Scenario scenario = kvx::sim::DefaultScenario();
  if (!options.scenarioFile.empty()) {
    auto loaded = kvx::sim::LoadScenarioFile(options.scenarioFile, error);
    if (!loaded) {
      std::cerr << "kvxclient: cannot use scenario " << options.scenarioFile << ": " << error << '\n';
      return kvx::EXIT_FAILURE_STATUS;
    }
    scenario = std::move(*loaded);
  }
  auto driver = std::make_unique<kvx::sim::SimDriver>(std::move(scenario));
  if (!options.traceFile.empty() && !driver->OpenTrace(options.traceFile, error)) {
    std::cerr << "kvxclient: cannot write trace " << options.traceFile << ": " << error << '\n';
    return kvx::EXIT_FAILURE_STATUS;
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
