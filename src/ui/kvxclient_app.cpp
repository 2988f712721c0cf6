#include "ui/kvxclient_app.h"

#include <QMessageBox>
#include <QStyle>
#include <QStyleFactory>
#include <unistd.h>
#include <iostream>

#include "app/client.h"
#include "app/exit_status.h"
#include "app/startup_checks.h"
#include "device/printable_text.h"
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
  // Said in a message box too: started from the menu, nobody reads stderr.
  const auto refuse = [&options](const std::string& error, int status) {
    std::cerr << "kvxclient: " << PrintableText(error) << '\n';
    if (!options.screenshotFile.empty()) return status;  // an unattended picture: stderr only
    QMessageBox box(QMessageBox::Critical, QStringLiteral("KVXCLIENT"), QString::fromStdString(error), QMessageBox::Ok);
    box.exec();
    return status;
  };
  std::string logDirectory = options.logDirectory;
  StripLock lock;
  std::string error;
  if (!PrepareLogging(logDirectory, options.commandLineText, lock, error))
    return refuse(error, EXIT_COMMAND_LINE_ERROR);
  // The publishers outlive the client's thread, the client the dialog (which
  // shuts it down when it closes).
  publish::Publishers publishers(options.publish);
  Client client(driver, clock, logDirectory);
  client.SetOutletNames(options.outletNames);
  if (!client.StartPublishers(publishers, error)) return refuse(error, EXIT_COMMAND_LINE_ERROR);
  CKvxclient_01Dlg dialog(client, options.commandLineText, nullptr, options.programOptions);
  // Before the dialog starts acquisition, so a port in use ends the run at
  // once; declared after the client, so it stops before the client's records go.
  metrics::MetricsServer metricsServer(
      [&client] { return metrics::FormatExposition(*client.metricsBoard().Read()); }, options.metricsWeb);
  if (options.metrics && !metricsServer.Start(*options.metrics, error))
    return refuse(error, metricsServer.configurationRefused() ? EXIT_COMMAND_LINE_ERROR : EXIT_FAILURE_STATUS);
  if (!dialog.OnInitDialog()) return EXIT_COMMAND_LINE_ERROR;
  // Without a system bus (a container, a test run) the window works without the notice.
  LogindSleepWatcher sleepWatcher;
  std::string whyNot;
  if (!sleepWatcher.Start([&client] { client.OnSuspend(); }, whyNot) && isatty(STDERR_FILENO) == 1)
    std::cerr << "Note: " << whyNot << ".\n";
  if (options.trend) dialog.ShowTrend();
  if (!options.screenshotFile.empty()) return RunScreenshot(dialog, options);
  StopSignals stopSignals([&dialog] { dialog.reject(); });
  dialog.exec();
  metricsServer.Stop();
  return EXIT_CLEAN_STOP;
}

}  // namespace kvx::ui
