#include "ui/run_window.h"

#include <cstdlib>
#include <iostream>
#include <vector>

#include "app/exit_status.h"
#include "device/printable_text.h"
#include "ui/kvxclient_app.h"
#include "ui/window_options.h"

namespace kvx::ui {

int RunWindow(int& argc, char** argv, device::Driver& driver, const std::string& commandLineText,
              const ProgramOptions& options, const metrics::WebConfig& metricsWeb) {
  std::vector<std::string> rest = options.windowOptions;
  WindowOptions window;
  std::string error;
  if (!TakeWindowOptions(rest, window, error)) {
    std::cerr << "kvxclient: " << error << "\n(see --help)\n";
    return EXIT_COMMAND_LINE_ERROR;
  }
  if (!rest.empty()) {
    std::cerr << "kvxclient: unknown option " << PrintableText(rest.front()) << "\n(see --help)\n";
    return EXIT_COMMAND_LINE_ERROR;
  }
  if (window.screenshotFile.empty() && (window.select || window.waitMs != WindowOptions{}.waitMs)) {
    std::cerr << "kvxclient: --select and --wait work with --screenshot only\n(see --help)\n";
    return EXIT_COMMAND_LINE_ERROR;
  }
  if (!DisplayAvailable(std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"))) {
    std::cerr << "kvxclient: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                 "--headless runs without one\n";
    return EXIT_FAILURE_STATUS;
  }
  window.commandLineText = commandLineText;
  window.logDirectory = options.logDirectory;
  window.metrics = options.metrics;
  window.programOptions = options.given;
  window.outletNames = options.outletNames;
  window.publish = options.publish;
  window.metricsWeb = metricsWeb;
  CKvxclient_01App app(argc, argv);
  return app.InitInstance(driver, DefaultClock(), window);
}

}  // namespace kvx::ui
