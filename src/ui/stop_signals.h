// SIGINT, SIGTERM and SIGHUP close the window the way its close box does, so a
// logger left running in a desktop session still stops in order (thread
// first, then the files flushed and closed) at logout or shutdown. The
// handlers are the program's (app/stop_request.h); this watches their request.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>

namespace kvx::ui {

class StopSignals final : public QObject {
 public:
  // `onStop` runs once on this (the UI) thread, also for a request that came
  // before the window was up.
  explicit StopSignals(std::function<void()> onStop, QObject* parent = nullptr);

  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  std::function<void()> onStop_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace kvx::ui
