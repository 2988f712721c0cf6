// SIGINT and SIGTERM close the window the way its close box does, so a logger
// left running in a desktop session still stops in order (thread first, then
// the files flushed and closed) at logout or shutdown.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>

namespace kvx::ui {

class StopSignals final : public QObject {
 public:
  // Installs the handlers; `onStop` runs on this (the UI) thread.
  explicit StopSignals(std::function<void()> onStop, QObject* parent = nullptr);
  ~StopSignals() override;  // restores the default handlers

  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  std::function<void()> onStop_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace kvx::ui
