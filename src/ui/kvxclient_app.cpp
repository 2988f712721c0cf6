#include "ui/kvxclient_app.h"

#include <QStyle>
#include <QStyleFactory>
#include <iostream>

#include "app/client.h"
#include "app/exit_status.h"
#include "power/logind_sleep_watcher.h"
#include "metrics/exposition.h"
#include "metrics/http_server.h"
#include "ui/kvxclient_dlg.h"
#include "ui/screenshot.h"
#include "ui/stop_signals.h"

namespace kvx::ui {

CKvxclient_01App::CKvxclient_01App(int& argc, char** argv) : application_(argc, argv) {
  // The classic look of the original dialog: group titles on the frame line,
  // dotted tree lines with +/- buttons, 3D edges.
  if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows"))) QApplication::setStyle(style);
}

int CKvxclient_01App::InitInstance(device::Driver& driver, Clock& clock, const WindowOptions& options) {
  // The client outlives the dialog; the dialog shuts it down when it closes.
  Client client(driver, clock, options.logDirectory);
  CKvxclient_01Dlg dialog(client, options.commandLineText);
  // Before the dialog starts acquisition, so a port in use ends the run at
  // once; declared after the client, so it stops before the client's records go.
  metrics::MetricsServer metricsServer(
      [&client] { return metrics::FormatExposition(*client.metricsBoard().Read()); });
  if (options.metrics) {
    std::string error;
    if (!metricsServer.Start(*options.metrics, error)) {
      std::cerr << "kvxclient: " << error << '\n';
      return EXIT_FAILURE_STATUS;
    }
  }
  if (!dialog.OnInitDialog()) return EXIT_COMMAND_LINE_ERROR;
  // Without a system bus (a container, a test run) the window works without the notice.
  LogindSleepWatcher sleepWatcher;
  std::string whyNot;
  if (!sleepWatcher.Start([&client] { client.OnSuspend(); }, whyNot)) std::cerr << "Note: " << whyNot << ".\n";
  if (!options.screenshotFile.empty()) return RunScreenshot(dialog, options);
  StopSignals stopSignals([&dialog] { dialog.reject(); });
  dialog.exec();
  metricsServer.Stop();
  return EXIT_CLEAN_STOP;
}

}  // namespace kvx::ui
