// The client without its window: start order, device arrival/removal and
// suspend, ordered shutdown, and headless mode's choice of strip and status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "acquisition/acquisition_thread.h"
#include "acquisition/control_ids.h"
#include "app/client.h"
#include "app/headless.h"
#include "app/program_options.h"
#include "recording/csv_recorder.h"
#include "support/scripted_driver.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace kvx {
namespace {

using test::ScriptedDriver;
using test::ScriptedRead;
using test::ScriptedStrip;

using test::Strip;
using test::WaitFor;

class TreeRecorder : public WindowLink {
 public:
  void AddStripToTree(const std::string& label, int position) override {
    std::lock_guard lock(mutex);
    calls.push_back(label + "@" + std::to_string(position));
  }
  void RegisterInterfaceNotifications() override {}
  void ClickDeviceTree() override {}
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }
  std::mutex mutex;
  std::vector<std::string> calls;
};

class ClientTest : public ::testing::Test {
 protected:
  ClientTest() {
    driver.AddStrip(Strip(0x345));
    driver.AddStrip(Strip(0x789));
    const protocol::Reading summary{0x80, 0x30, {100, 200, 300, 400}};
    driver.SetIdleRead(ScriptedRead::Of(summary));
  }
  std::string dir = ::testing::TempDir();
  ScriptedDriver driver;
};

TEST_F(ClientTest, InitialControlStatesAndCommandLine) {
  Client client(driver, DefaultClock(), dir);
  client.SetInitialControlStates();
  const ControlModel& c = client.state().controls;
  EXPECT_TRUE(c.IsChecked(5003));
  EXPECT_FALSE(c.IsChecked(5004));
  EXPECT_TRUE(c.IsChecked(6009));
  EXPECT_FALSE(c.IsChecked(6010));
  for (int id : {6012, 6014, 6015, 6017, 6018}) EXPECT_FALSE(c.IsChecked(id)) << id;
  EXPECT_TRUE(c.IsChecked(6016));

  const CommandLineResult bad = client.ApplyCommandLine("7FF 3601");
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(client.state().startup.log.logIntervalSec, 1u);  // nothing stored from a bad line
  const CommandLineResult good = client.ApplyCommandLine("7FF 10 3600 2 1");
  ASSERT_TRUE(good.ok);
  EXPECT_EQ(client.state().startup.commandSerial, 0x7FFu);
  EXPECT_EQ(client.state().startup.log.logIntervalSec, 10u);
  EXPECT_EQ(client.state().startup.log.logMode.load(), 102);
  EXPECT_EQ(client.state().startup.startQuantity, 1u);
}

TEST_F(ClientTest, SuspendNoticeGoesOnlyToASelectedStrip) {
  Client client(driver, DefaultClock(), dir);
  client.state().device.RebuildDeviceList();
  driver.ClearCalls();
  EXPECT_FALSE(client.OnSuspend());
  EXPECT_TRUE(driver.Calls().empty());

  client.state().selection.Set(0x345);
  EXPECT_TRUE(client.OnSuspend());
  const auto calls = driver.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].serial, 0x345u);
  EXPECT_TRUE(calls[0].onPipe);
  EXPECT_EQ(calls[0].setup, (protocol::SetupFields{0x40, 0x00, 0, 0, 0}));
}

TEST_F(ClientTest, ShutdownStopsTheThreadFirstAndClosesTheLogs) {
  Client client(driver, DefaultClock(), dir);
  ASSERT_TRUE(client.ApplyCommandLine("345 0 1 1 0").ok);
  client.SetInitialControlStates();
  TreeRecorder window;
  ASSERT_TRUE(client.StartAcquisition(window));
  ASSERT_TRUE(WaitFor([&] { return !client.recorder().Status().currentFile.empty(); }));
  EXPECT_FALSE(client.StartAcquisition(window));  // one thread per client

  client.Shutdown();
  EXPECT_FALSE(client.acquisition()->Running());
  EXPECT_EQ(client.state().threadRunFlag.load(), 0);
  EXPECT_TRUE(client.recorder().Status().currentFile.empty());
  EXPECT_EQ(driver.OpenHandles(), 0);
  client.Shutdown();  // idempotent
}

TEST_F(ClientTest, HeadlessFollowsTheFirstStripWithoutASerialAndReportsIt) {
  Client client(driver, DefaultClock(), dir);
  ASSERT_TRUE(client.ApplyCommandLine("").ok);
  std::ostringstream out, err;
  HeadlessSession session(client, out, err, false);
  client.SetInitialControlStates();
  ASSERT_TRUE(client.StartAcquisition(session));
  ASSERT_TRUE(WaitFor([&] {
    session.Tick();
    return client.acquisition()->Status().readingsAccepted > 0;
  }));
  EXPECT_EQ(session.targetSerial(), 0x345u);
  EXPECT_EQ(client.state().selection.serial(), 0x345);
  EXPECT_NE(out.str().find("No serial number given: polling the first strip found, S/N=00345."), std::string::npos)
      << out.str();
  ASSERT_TRUE(WaitFor([&] { return session.StatusLine().find("CH1 100 CH2 200 CH3 300 CH4 400 mA") != std::string::npos; }))
      << session.StatusLine();
  EXPECT_NE(session.StatusLine().find("S/N=00345 | 100 V | 50.00 Hz | 25.34 \u00B0C |"), std::string::npos)
      << session.StatusLine();
  EXPECT_NE(session.StatusLine().find("log off"), std::string::npos);
  client.Shutdown();
}

TEST_F(ClientTest, TheMetricsBoardFollowsTheConnectionAndTheStatusLineShowsEnergy) {
  Client client(driver, DefaultClock(), dir);
  ASSERT_TRUE(client.ApplyCommandLine("345 0 1 1 0").ok);
  std::ostringstream out, err;
  HeadlessSession session(client, out, err, false);
  client.SetInitialControlStates();
  ASSERT_TRUE(client.StartAcquisition(session));
  ASSERT_TRUE(WaitFor([&] {
    const auto snapshot = client.metricsBoard().Read();
    return snapshot->live.view == metrics::View::Summary && snapshot->logRecords > 0;
  }));
  auto snapshot = client.metricsBoard().Read();
  ASSERT_EQ(snapshot->liveSerial, 0x345u);
  const metrics::StripMetrics& strip = snapshot->strips.at(0x345);
  EXPECT_TRUE(strip.connected);
  EXPECT_EQ(strip.connections, 1u);
  EXPECT_GT(strip.readings, 0u);
  EXPECT_FALSE(snapshot->live.summaryPower);
  EXPECT_EQ(snapshot->live.summary, (std::array<double, 4>{0.1, 0.2, 0.3, 0.4}));  // 100..400 mA
  // Current is being read: no energy is measured, and the line says so.
  EXPECT_NE(session.StatusLine().find(" mA | energy n/a (current) | logging "), std::string::npos)
      << session.StatusLine();
  client.Shutdown();
  snapshot = client.metricsBoard().Read();
  EXPECT_EQ(snapshot->liveSerial, 0u);
  EXPECT_FALSE(snapshot->strips.at(0x345).connected);
  EXPECT_GT(snapshot->strips.at(0x345).readings, 0u);  // counters stay
}

TEST_F(ClientTest, HeadlessSelectsTheCommandStripAgainWhenItComesBack) {
  Client client(driver, DefaultClock(), dir);
  ASSERT_TRUE(client.ApplyCommandLine("789 0 1 1 0").ok);
  std::ostringstream out, err;
  HeadlessSession session(client, out, err, false);
  client.RegisterNotifications(&session, [&](std::function<void()> job) { session.Post(std::move(job)); });
  client.SetInitialControlStates();
  ASSERT_TRUE(client.StartAcquisition(session));
  ASSERT_TRUE(WaitFor([&] {
    session.Tick();
    return client.acquisition()->Status().readingsAccepted > 0;
  }));
  const std::string firstFile = client.recorder().Status().currentFile;
  EXPECT_FALSE(firstFile.empty());

  driver.SetPresent(0x789, false);
  driver.Announce({device::DeviceEventType::RemoveComplete, std::string(device::primaryInterfaceGuid), "p"});
  ASSERT_TRUE(WaitFor([&] {
    session.Tick();
    return client.state().selection.serial() == 0;
  }));
  EXPECT_NE(session.StatusLine().find("S/N=00789 (waiting)"), std::string::npos) << session.StatusLine();
  EXPECT_TRUE(client.recorder().Status().currentFile.empty());  // the connection's files are closed

  driver.SetPresent(0x789, true);
  driver.Announce({device::DeviceEventType::Arrival, std::string(device::primaryInterfaceGuid), "p"});
  ASSERT_TRUE(WaitFor([&] {
    session.Tick();
    const std::string file = client.recorder().Status().currentFile;
    return !file.empty() && file != firstFile;
  }));
  EXPECT_EQ(client.state().selection.serial(), 0x789);
  EXPECT_NE(out.str().find("Waiting for S/N=00789 to be plugged in."), std::string::npos) << out.str();
  client.Shutdown();
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// A failure of logging is said on stderr once when it begins and once when it
// ends, although every reading fails again under a new file name meanwhile.
TEST_F(ClientTest, HeadlessSaysALoggingFailureOnceWhenItBeginsAndOnceWhenItEnds) {
  const test::TempDir scratch("kvx-client");
  const std::string logs = scratch.Path("logs");
  std::ofstream(logs) << "a file where the directory should be";
  Client client(driver, DefaultClock(), logs);
  ASSERT_TRUE(client.ApplyCommandLine("345 0 1 1 0").ok);  // a record for every reading
  std::ostringstream out, err;
  HeadlessSession session(client, out, err, false);
  client.SetInitialControlStates();
  ASSERT_TRUE(client.StartAcquisition(session));
  std::uint64_t failedAt = 0;
  ASSERT_TRUE(WaitFor([&] {
    session.Tick();
    failedAt = client.acquisition()->Status().readingsAccepted;
    return client.recorder().Status().failing && failedAt > 0;
  }));
  // Many more failing records, each under its own name.
  ASSERT_TRUE(WaitFor([&] {
    session.Tick();
    return client.acquisition()->Status().readingsAccepted > failedAt + 20;
  }));
  EXPECT_EQ(Occurrences(err.str(), "Logging is failing: create " + logs + "/00345_ALL_A_"), 1u) << err.str();

  ASSERT_EQ(std::remove(logs.c_str()), 0);
  ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
  ASSERT_TRUE(WaitFor([&] {
    session.Tick();
    return err.str().find("Logging works again.") != std::string::npos;
  }));
  for (int i = 0; i < 20; ++i) session.Tick();
  client.Shutdown();
  session.Tick();
  EXPECT_EQ(Occurrences(err.str(), "Logging is failing"), 1u) << err.str();
  EXPECT_EQ(Occurrences(err.str(), "Logging works again."), 1u) << err.str();
}

// The connection's serial request fails: said once, on stderr.
TEST_F(ClientTest, HeadlessSaysOnceThatAStripDidNotGiveItsSerial) {
  std::atomic<int> serialRequests{0};
  driver.SetReply([&](std::uint32_t serial,
                      const protocol::SetupFields& setup) -> std::optional<std::vector<std::uint8_t>> {
    // The enumeration asks both strips first; the connection's request fails.
    if (setup.bRequest == protocol::REQ_SERIAL_NUMBER && ++serialRequests > 2) return std::nullopt;
    return ScriptedDriver::DefaultReply(serial, setup);
  });
  Client client(driver, DefaultClock(), dir);
  ASSERT_TRUE(client.ApplyCommandLine("789 1 1 0 0").ok);
  std::ostringstream out, err;
  HeadlessSession session(client, out, err, false);
  client.SetInitialControlStates();
  ASSERT_TRUE(client.StartAcquisition(session));
  ASSERT_TRUE(WaitFor([&] {
    session.Tick();
    return client.acquisition()->Status().readingsAccepted > 0;
  }));
  for (int i = 0; i < 5; ++i) session.Tick();
  EXPECT_EQ(Occurrences(err.str(), "S/N=00789 did not give its serial number when its connection opened"), 1u)
      << err.str();
  client.Shutdown();
}

TEST_F(ClientTest, StripUnpluggedDuringTheCalibrationFetch) {
  // The strip goes away after the second memory read of the fetch: the rest of
  // the fetch fails, the connection ends, the strip cannot be reopened, the
  // thread idles with nothing selected, and no lock or handle is left behind.
  std::atomic<int> memoryReads{0};
  driver.SetReply([&](std::uint32_t serial, const protocol::SetupFields& setup) {
    if (setup.bRequest == protocol::REQ_READ_MEMORY && ++memoryReads == 2) driver.SetPresent(0x345, false);
    return ScriptedDriver::DefaultReply(serial, setup);
  });
  Client client(driver, DefaultClock(), dir);
  ASSERT_TRUE(client.ApplyCommandLine("345 0 1 1 0").ok);
  client.SetInitialControlStates();
  TreeRecorder window;
  ASSERT_TRUE(client.StartAcquisition(window));
  ASSERT_TRUE(WaitFor([&] {
    return memoryReads.load() >= 2 && client.state().selection.serial() == 0 &&
           client.acquisition()->Status().state == ConnectionState::Idle;
  }));
  EXPECT_EQ(client.acquisition()->Status().readingsAccepted, 0u);
  EXPECT_TRUE(client.recorder().Status().currentFile.empty());
  std::unique_lock lock(client.state().device.deviceLock(), std::try_to_lock);
  EXPECT_TRUE(lock.owns_lock());
  lock = {};
  client.Shutdown();
  EXPECT_EQ(driver.OpenHandles(), 0);
}

TEST(ProgramOptionsTest, ReadsTheProgramsOwnOptions) {
  ProgramOptions options;
  std::string error;
  EXPECT_EQ(options.driverName, "sim");
  ASSERT_TRUE(ParseProgramOptions({"--headless", "--driver=usb", "--scenario=s.json", "--log-dir=/var/log/kvx",
                                   "--duration=2.5", "--screenshot=x.png"},
                                  options, error));
  EXPECT_TRUE(options.headless);
  EXPECT_EQ(options.driverName, "usb");
  EXPECT_EQ(options.logDirectory, "/var/log/kvx");
  EXPECT_EQ(options.durationMs, 2500u);
  // The backend's options and the window's are left for them, in order.
  EXPECT_EQ(options.windowOptions, (std::vector<std::string>{"--scenario=s.json", "--screenshot=x.png"}));
  EXPECT_FALSE(options.metrics);  // no endpoint unless asked for

  ProgramOptions withMetrics;
  ASSERT_TRUE(ParseProgramOptions({"--metrics=9100"}, withMetrics, error)) << error;
  EXPECT_EQ(withMetrics.metrics, (metrics::ListenAddress{"127.0.0.1", 9100, true}));

  for (const char* bad : {"--duration=0", "--duration=-3", "--duration=abc", "--driver=", "--log-dir=",
                          "--metrics=", "--metrics=somehost:9100", "--metrics=0"}) {
    ProgramOptions o;
    EXPECT_FALSE(ParseProgramOptions({bad}, o, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  // One table reads them, says which take a value and writes their --help lines.
  const std::string help = UsageText("kvxclient");
  for (const std::string& name : ProgramOptionNames()) EXPECT_NE(help.find("  " + name), std::string::npos) << name;
  EXPECT_TRUE(OptionTakesValue("--log-dir") && OptionTakesValue("--trace") && OptionTakesValue("--usb-id"));
  EXPECT_FALSE(OptionTakesValue("--headless") || OptionTakesValue("--help") || OptionTakesValue("--bogus"));
}

}  // namespace
}  // namespace kvx
