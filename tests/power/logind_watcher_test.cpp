// The suspend notice from systemd-logind, against a private bus that stands in
// for the system bus, with a fake logind on it: the notice goes out on
// PrepareForSleep(true) while the delay inhibitor is held, the inhibitor is
// released after it and taken again after resume, and a machine without a
// system bus is reported, not fatal.
#include <gtest/gtest.h>

#include <atomic>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "power/logind_sleep_watcher.h"
#include "support/wait_for.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");

std::string gBusAddress;
pid_t gBusPid = 0;

// Lives on its own thread so that the watcher's blocking Inhibit call is
// answered while the test's thread waits for it.
class FakeLogind : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

 public:
  QAtomicInt inhibitCalls = 0;
  QString lastWhat, lastMode;

 public Q_SLOTS:
  QDBusUnixFileDescriptor Inhibit(const QString& what, const QString&, const QString&, const QString& mode) {
    lastWhat = what;
    lastMode = mode;
    inhibitCalls.fetchAndAddOrdered(1);
    int fds[2];
    if (pipe(fds) != 0) return {};
    QDBusUnixFileDescriptor fd(fds[0]);  // duplicates
    close(fds[0]);
    close(fds[1]);
    return fd;
  }
};

// Waits with the watcher's D-Bus messages delivered between two polls.
bool WaitUntil(const std::function<bool()>& condition) {
  return kvx::test::WaitFor(condition, [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

// The window's watcher, on the event loop that made it (false), and the
// headless one, on a thread of its own that nobody polls (true).
class LogindSleepWatcherModes : public ::testing::TestWithParam<bool> {};

TEST_P(LogindSleepWatcherModes, NoticeBeforeSleepWithTheDelayInhibitorHeld) {
  const bool ownThread = GetParam();
  QThread logindThread;
  FakeLogind fake;
  fake.moveToThread(&logindThread);
  logindThread.start();
  QDBusConnection logindBus = QDBusConnection::connectToBus(QString::fromStdString(gBusAddress), "fake-logind");
  ASSERT_TRUE(logindBus.isConnected());
  ASSERT_TRUE(logindBus.registerService(kService));
  ASSERT_TRUE(logindBus.registerObject(kPath, &fake, QDBusConnection::ExportAllSlots));

  kvx::LogindSleepWatcher watcher(ownThread);
  std::atomic<int> notices{0};
  std::atomic<bool> inhibitorHeldAtNotice{false};
  std::string whyNot;
  ASSERT_TRUE(watcher.Start(
      [&] {
        ++notices;
        inhibitorHeldAtNotice = watcher.InhibitorHeld();
      },
      whyNot))
      << whyNot;
  EXPECT_EQ(fake.inhibitCalls.loadAcquire(), 1);
  EXPECT_EQ(fake.lastWhat, "sleep");
  EXPECT_EQ(fake.lastMode, "delay");
  EXPECT_TRUE(watcher.InhibitorHeld());

  QDBusMessage sleep = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("PrepareForSleep"));
  sleep << true;
  ASSERT_TRUE(logindBus.send(sleep));
  ASSERT_TRUE(WaitUntil([&] { return notices == 1; }));
  EXPECT_TRUE(inhibitorHeldAtNotice);
  if (!ownThread) {
    EXPECT_FALSE(watcher.InhibitorHeld());  // released: the system may sleep now
  }

  QDBusMessage resume = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("PrepareForSleep"));
  resume << false;
  ASSERT_TRUE(logindBus.send(resume));
  ASSERT_TRUE(WaitUntil([&] { return fake.inhibitCalls.loadAcquire() == 2; }));
  watcher.Stop();  // the own thread joined: its state may be read here
  EXPECT_TRUE(watcher.InhibitorHeld());
  EXPECT_EQ(notices, 1);  // resume sends nothing

  logindBus.unregisterObject(kPath);
  logindBus.unregisterService(kService);
  QDBusConnection::disconnectFromBus("fake-logind");
  logindThread.quit();
  logindThread.wait();
}
INSTANTIATE_TEST_SUITE_P(Delivery, LogindSleepWatcherModes, ::testing::Bool());

TEST(LogindSleepWatcherTest, SignalsFromAnotherSenderAreIgnored) {
  kvx::LogindSleepWatcher watcher;
  int notices = 0;
  std::string whyNot;
  ASSERT_TRUE(watcher.Start([&] { ++notices; }, whyNot)) << whyNot;
  EXPECT_FALSE(watcher.InhibitorHeld());  // no logind on this bus now
  QDBusConnection other = QDBusConnection::connectToBus(QString::fromStdString(gBusAddress), "impostor");
  QDBusMessage sleep = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("PrepareForSleep"));
  sleep << true;
  ASSERT_TRUE(other.send(sleep));
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(notices, 0);
  QDBusConnection::disconnectFromBus("impostor");
}

}  // namespace

int main(int argc, char** argv) {
  // A private bus stands in for the system bus.
  FILE* daemon = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
  char address[512] = {};
  char pid[32] = {};
  if (!daemon || !fgets(address, sizeof address, daemon) || !fgets(pid, sizeof pid, daemon)) {
    std::fprintf(stderr, "cannot start dbus-daemon\n");
    return 1;
  }
  pclose(daemon);
  gBusAddress = address;
  while (!gBusAddress.empty() && (gBusAddress.back() == '\n' || gBusAddress.back() == '\r')) gBusAddress.pop_back();
  gBusPid = static_cast<pid_t>(std::atoi(pid));
  setenv("DBUS_SYSTEM_BUS_ADDRESS", gBusAddress.c_str(), 1);

  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  if (gBusPid > 0) kill(gBusPid, SIGTERM);
  return result;
}

#include "logind_watcher_test.moc"
