// kvxclient: the window on a display, or --headless for unattended logging.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/command_line.h"
#include "app/energy_report_command.h"
#include "app/headless.h"
#include "app/program_options.h"
#include "app/startup_checks.h"
#include "metrics/web_config.h"
#include "app/stop_request.h"
#include "device/backends/backend_registry.h"
#include "device/clock.h"
#include "device/printable_text.h"
#ifdef KVX_HAVE_UI
#include <QCoreApplication>
#include <QGuiApplication>

#include "power/logind_sleep_watcher.h"
#include "trend/render_command.h"
#include "trend/trend_chart.h"
#include "ui/run_window.h"
#endif

namespace {

// A mistake on the command line: said, with the pointer to --help.
int Refused(const std::string& message) {
  std::cerr << "kvxclient: " << kvx::PrintableText(message) << "\n(see --help)\n";
  return kvx::EXIT_COMMAND_LINE_ERROR;
}

// The endpoint's TLS and users, read and checked once, before anything runs;
// false with `error` when the file is refused.
bool LoadMetricsWeb(const kvx::ProgramOptions& options, kvx::metrics::WebConfig& web, std::string& error) {
  if (options.metricsWebConfig.empty()) return true;
  if (!options.metrics) {
    error = "--metrics-web-config is for the endpoint: give --metrics=[ADDR:]PORT too";
    return false;
  }
  std::optional<kvx::metrics::WebConfig> loaded =
      kvx::metrics::LoadWebConfig(kvx::ExpandHome(options.metricsWebConfig), error);
  if (!loaded) return false;
  web = std::move(*loaded);
  return true;
}

// Unattended logging: the directory is made and checked, and the strip's
// lock taken, before anything runs: a service that cannot log stops here.
// The log directory of `options` is expanded (~) in place.
int RunHeadlessProgram(int argc, char** argv, kvx::device::Driver& driver, const kvx::ProgramArguments& arguments,
                       kvx::ProgramOptions& options, const kvx::metrics::WebConfig& metricsWeb) {
  std::string error;
  kvx::StripLock lock;
  if (!kvx::PrepareLogging(options.logDirectory, arguments.commandLineText, lock, error)) {
    std::cerr << "kvxclient: " << kvx::PrintableText(error) << '\n';
    return kvx::EXIT_COMMAND_LINE_ERROR;
  }
  kvx::HeadlessOptions headless;
  headless.commandLineText = arguments.commandLineText;
  headless.logDirectory = options.logDirectory;
  headless.durationMs = options.durationMs;
  headless.metrics = options.metrics;
  headless.programOptions = arguments.options;
  headless.outletNames = options.outletNames;
  headless.publish = options.publish;
  headless.metricsWeb = metricsWeb;
  // A service's stderr goes to the system journal at every start: notes
  // about the machine are for a person at a terminal.
  headless.terminalNotes = isatty(STDERR_FILENO) == 1;
#ifdef KVX_HAVE_UI
  // No window, but the suspend notice comes over D-Bus, which needs Qt's core.
  QCoreApplication application(argc, argv);
  kvx::LogindSleepWatcher sleepWatcher(/*ownThread=*/true);
  return kvx::RunHeadless(driver, kvx::DefaultClock(), headless, &sleepWatcher);
#else
  (void)argc;
  (void)argv;
  return kvx::RunHeadless(driver, kvx::DefaultClock(), headless);
#endif
}

// --render: the chart drawn off-screen, whatever display there is.
int RunRender(int argc, char** argv, const kvx::ProgramOptions& options) {
#ifdef KVX_HAVE_UI
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // A picture made by cron mails its stderr: Qt's note about a missing
  // runtime directory (which drawing does not use) is left out of it.
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
    if (!message.startsWith(QStringLiteral("QStandardPaths: "))) std::cerr << message.toStdString() << '\n';
  });
  QGuiApplication application(argc, argv);
  kvx::trend::UseChartFont();
  kvx::trend::RenderOptions render;
  render.file = *options.render;
  render.directory = kvx::ExpandHome(options.logDirectory);
  render.serial = options.reportSerial;
  if (options.reportFrom) render.fromMs = *options.reportFrom * 1000;
  if (options.reportTo) render.toMs = *options.reportTo * 1000;
  render.width = options.renderWidth;
  render.height = options.renderHeight;
  render.outletNames = options.outletNames;
  return kvx::trend::RenderHistory(render, std::cerr, isatty(STDERR_FILENO) == 1);
#else
  (void)argc;
  (void)argv;
  (void)options;
  std::cerr << "kvxclient: this build has no chart (built without Qt)\n";
  return kvx::EXIT_FAILURE_STATUS;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // First, before any thread: a stop signal from now on is kept for the loop,
  // and a closed output is a write error rather than the end.
  kvx::InstallStopSignalHandlers();
  const kvx::ProgramArguments arguments = kvx::SplitProgramArguments(argc, argv, kvx::OptionTakesValue);
  kvx::ProgramOptions options;
  std::string error;
  if (!kvx::ParseProgramOptions(arguments.options, options, error)) return Refused(error);
  if (options.help) {
    std::cout << kvx::UsageText("kvxclient");
    return kvx::EXIT_CLEAN_STOP;
  }
  if (options.version) {
    std::cout << kvx::VersionText();
    return kvx::EXIT_CLEAN_STOP;
  }
  if (const std::string misplaced = kvx::MisplacedOfflineOption(options); !misplaced.empty()) return Refused(misplaced);
  if (options.energyReport || options.render) {
    if (!options.windowOptions.empty()) return Refused("unknown option " + options.windowOptions.front());
    if (options.energyReport) return kvx::RunEnergyReport(options, std::cout, std::cerr);
    return RunRender(argc, argv, options);
  }
  // The backend takes its own options; an option of another backend, or one
  // it cannot use, is a mistake on the command line like any other.
  std::unique_ptr<kvx::device::Driver> driver =
      kvx::device::CreateDriver(options.driverName, options.windowOptions, error);
  if (!driver) return Refused(error);
  if (options.list) {
    std::cout << kvx::PrintableText(kvx::ListStrips(*driver)) << std::flush;
    return kvx::EXIT_CLEAN_STOP;
  }
  if (options.headless && !options.windowOptions.empty()) {
    return Refused("unknown option " + options.windowOptions.front() + " (headless mode takes no window option)");
  }
  kvx::metrics::WebConfig metricsWeb;
  if (!LoadMetricsWeb(options, metricsWeb, error)) return Refused(error);
  if (const std::string other = kvx::OptionOfHeadlessOnly(options); !other.empty()) {
    return Refused(other + " works with --headless only");
  }

  if (options.headless) return RunHeadlessProgram(argc, argv, *driver, arguments, options, metricsWeb);
#ifdef KVX_HAVE_UI
  return kvx::ui::RunWindow(argc, argv, *driver, arguments.commandLineText, options, metricsWeb);
#else
  std::cerr << "kvxclient: this build has no window; use --headless\n";
  return kvx::EXIT_FAILURE_STATUS;
#endif
}
