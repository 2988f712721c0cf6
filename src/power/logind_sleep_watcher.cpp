#include "power/logind_sleep_watcher.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>

namespace kvx {

namespace {
const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");
}  // namespace

LogindSleepWatcher::LogindSleepWatcher(bool ownThread, QObject* parent) : QObject(parent) {
  if (ownThread && !parent) thread_ = std::make_unique<QThread>();
}

LogindSleepWatcher::~LogindSleepWatcher() { Stop(); }

void LogindSleepWatcher::Stop() {
  if (thread_) {
    // A notice being handled is finished first; none is delivered after.
    thread_->quit();
    thread_->wait();
  }
  onSuspend_ = nullptr;
}

bool LogindSleepWatcher::Start(std::function<void()> onSuspend, std::string& whyNot) {
  onSuspend_ = std::move(onSuspend);
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    whyNot = "no system D-Bus (" + bus.lastError().message().toStdString() +
             "): the strip is not told when the system suspends";
    return false;
  }
  if (thread_) {
    // Taken before the signal can come on the other thread, which is the
    // only one to touch the inhibitor from then on.
    TakeInhibitor();
    thread_->start();
    moveToThread(thread_.get());
  }
  // QtDBus routes bus signals to a slot named by its signature; there is no
  // function-pointer form of this call. Only logind itself may send it.
  if (!bus.connect(kService, kPath, kInterface, QStringLiteral("PrepareForSleep"), this,
                   SLOT(OnPrepareForSleep(bool)))) {
    whyNot = "cannot watch systemd-logind's PrepareForSleep signal: " + bus.lastError().message().toStdString();
    return false;
  }
  if (!thread_) TakeInhibitor();
  return true;
}

void LogindSleepWatcher::Poll() {
  if (!thread_) QCoreApplication::processEvents();
}

void LogindSleepWatcher::TakeInhibitor() {
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Inhibit"));
  call << QStringLiteral("sleep") << QStringLiteral("KVX Client")
       << QStringLiteral("Tell the metering strip before the system sleeps") << QStringLiteral("delay");
  const QDBusReply<QDBusUnixFileDescriptor> reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
  // Without the inhibitor the notice still goes out, but logind may not wait for it.
  inhibitor_ = reply.isValid() ? reply.value() : QDBusUnixFileDescriptor();
}

void LogindSleepWatcher::OnPrepareForSleep(bool start) {
  if (!start) {  // resumed: nothing is sent; be ready for the next suspend
    if (!inhibitor_.isValid()) TakeInhibitor();
    return;
  }
  if (onSuspend_) onSuspend_();
  inhibitor_ = QDBusUnixFileDescriptor();  // closing our copy lets the system sleep now
}

}  // namespace kvx
