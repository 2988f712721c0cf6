#include "ui/stop_signals.h"

#include "app/stop_request.h"

namespace kvx::ui {

StopSignals::StopSignals(std::function<void()> onStop, QObject* parent) : QObject(parent), onStop_(std::move(onStop)) {
  InstallStopSignalHandlers();  // idempotent: main has normally done it
  if (StopWakeFd() < 0) return;
  notifier_ = new QSocketNotifier(StopWakeFd(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    // The pipe stays readable once a stop is requested: act once.
    notifier_->setEnabled(false);
    if (onStop_) onStop_();
  });
}

}  // namespace kvx::ui
