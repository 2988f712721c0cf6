// The application: a QApplication and the main dialog run modally; the
// process ends when the dialog closes.
#pragma once

#include <QApplication>

#include "device/clock.h"
#include "device/driver.h"
#include "ui/window_options.h"

namespace kvx::ui {

class CKvxclient_01App {
 public:
  // argc/argv go to QApplication, which takes its own options (-platform,
  // -style, ...) out of them; both must outlive the object.
  CKvxclient_01App(int& argc, char** argv);

  CKvxclient_01App(const CKvxclient_01App&) = delete;
  CKvxclient_01App& operator=(const CKvxclient_01App&) = delete;

  // Creates the client on `driver`, runs the main dialog modally (or the
  // screenshot sequence), with the system's suspend notice passed on to the
  // strip, and shuts the client down. Returns the process's exit status
  // (EXIT_CLEAN_STOP, EXIT_COMMAND_LINE_ERROR after the error box,
  // EXIT_FAILURE_STATUS when a screenshot failed).
  int InitInstance(device::Driver& driver, Clock& clock, const WindowOptions& options);

 private:
  QApplication application_;
};

}  // namespace kvx::ui
