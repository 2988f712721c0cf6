// The suspend notice on Linux: systemd-logind's PrepareForSleep signal on the
// system bus. A "delay" sleep inhibitor is held while the system is awake, so
// that logind waits until the strip has been told before the machine sleeps;
// it is released once the notice went out and taken again after resume.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QThread>
#include <functional>
#include <memory>
#include <string>

#include "app/suspend_source.h"

namespace kvx {

class LogindSleepWatcher final : public QObject, public SuspendSource {
  Q_OBJECT

 public:
  // With `ownThread` the signal is taken on a thread of the watcher's own,
  // asleep in its event loop until logind speaks, and `onSuspend` runs there
  // (headless mode: no event loop to poll); otherwise on the event loop of
  // the thread that made the watcher (the window's).
  explicit LogindSleepWatcher(bool ownThread = false, QObject* parent = nullptr);
  ~LogindSleepWatcher() override;  // Stop()

  bool Start(std::function<void()> onSuspend, std::string& whyNot) override;
  void Poll() override;  // processes pending Qt events, unless the watcher has its own thread
  bool NeedsPoll() const override { return !thread_; }
  void Stop() override;

  bool InhibitorHeld() const { return inhibitor_.isValid(); }

 private Q_SLOTS:
  void OnPrepareForSleep(bool start);

 private:
  void TakeInhibitor();

  std::function<void()> onSuspend_;
  QDBusUnixFileDescriptor inhibitor_;
  std::unique_ptr<QThread> thread_;
};

}  // namespace kvx
