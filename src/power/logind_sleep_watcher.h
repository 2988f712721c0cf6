// The suspend notice on Linux: systemd-logind's PrepareForSleep signal on the
// system bus. A "delay" sleep inhibitor is held while the system is awake, so
// that logind waits until the strip has been told before the machine sleeps;
// it is released once the notice went out and taken again after resume.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <functional>
#include <string>

#include "app/suspend_source.h"

namespace kvx {

class LogindSleepWatcher final : public QObject, public SuspendSource {
  Q_OBJECT

 public:
  explicit LogindSleepWatcher(QObject* parent = nullptr);

  bool Start(std::function<void()> onSuspend, std::string& whyNot) override;
  void Poll() override;  // processes pending Qt events (headless mode has no event loop)

  bool InhibitorHeld() const { return inhibitor_.isValid(); }

 private Q_SLOTS:
  void OnPrepareForSleep(bool start);

 private:
  void TakeInhibitor();

  std::function<void()> onSuspend_;
  QDBusUnixFileDescriptor inhibitor_;
};

}  // namespace kvx
