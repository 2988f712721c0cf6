#include "ui/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace kvx::ui {

namespace {
// The handler may only do async-signal-safe things: it writes one byte into a
// pipe whose other end the event loop watches.
int gWakeFds[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(gWakeFds[1], &byte, 1);
}

void SetHandler(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
}  // namespace

StopSignals::StopSignals(std::function<void()> onStop, QObject* parent) : QObject(parent), onStop_(std::move(onStop)) {
  if (gWakeFds[0] < 0 && pipe2(gWakeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = new QSocketNotifier(gWakeFds[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    while (read(gWakeFds[0], bytes, sizeof bytes) > 0) {
    }
    if (onStop_) onStop_();
  });
  SetHandler(OnStopSignal);
}

StopSignals::~StopSignals() { SetHandler(SIG_DFL); }

}  // namespace kvx::ui
