#include "app/headless.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

#include "acquisition/control_ids.h"
#include "metrics/energy.h"
#include "metrics/exposition.h"
#include "metrics/http_server.h"
#include "recording/csv_recorder.h"

namespace kvx {

namespace {

// A label that still holds its placeholder text ("(CH1NOW)", "(voltage)")
// has never been written: show a dash instead.
std::string ValueOrDash(const std::string& text) {
  if (text.empty() || (text.front() == '(' && text != protocol::BAD_TEXT)) return "-";
  return text;
}

std::string SerialName(std::uint32_t serial) { return protocol::FormatTreeLabel(serial); }

// " | energy 1.23 0.00 0.00 0.00 Wh": what each outlet of the strip drew
// while power was read, since start; nothing before its first connection.
std::string EnergyText(const metrics::MetricsSnapshot& snapshot, std::uint32_t serial) {
  const auto found = snapshot.strips.find(serial);
  if (found == snapshot.strips.end()) return {};
  std::string text = " | energy";
  for (const double joules : found->second.energyJoules) {
    char value[32];
    std::snprintf(value, sizeof value, " %.2f", joules / metrics::JOULES_PER_WATT_HOUR);
    text += value;
  }
  return text + " Wh";
}

}  // namespace

HeadlessSession::HeadlessSession(Client& client, std::ostream& out, std::ostream& err, bool terminal)
    : client_(client), out_(out), err_(err), terminal_(terminal) {
  targetSerial_.store(client.state().commandSerial);
}

void HeadlessSession::RegisterInterfaceNotifications() { listed_.store(true); }

void HeadlessSession::PostDeviceChange(device::DeviceEventType type) {
  std::lock_guard lock(eventsMutex_);
  events_.push_back(type);
}

void HeadlessSession::Say(const std::string& message) {
  // On a terminal the status line is rewritten in place: clear it first.
  if (terminal_) out_ << "\r\x1b[K";
  out_ << message << '\n' << std::flush;
}

void HeadlessSession::Tick() {
  std::deque<device::DeviceEventType> pending;
  {
    std::lock_guard lock(eventsMutex_);
    pending.swap(events_);
  }
  for (const auto type : pending) client_.OnDeviceChange(type, this);
  if (!listed_.load()) return;  // the thread has not listed the strips yet

  AppState& state = client_.state();
  std::uint32_t target = targetSerial_.load();
  if (target == 0) {
    std::int32_t first = 0;
    if (state.device.GetSerialAt(1, first) && first != 0) {
      target = static_cast<std::uint32_t>(first);
      targetSerial_.store(target);
      state.device.setSelectedSerial(first);
    }
  }
  Situation now = Situation::NoStrip;
  if (target != 0) {
    std::string path;
    const bool present = state.device.FindDevicePath(static_cast<std::int32_t>(target), path);
    if (present && state.device.selectedSerial() == 0) {
      // The strip this run follows is back after it went away: poll it
      // again. Its new connection starts new log files.
      state.device.setSelectedSerial(static_cast<std::int32_t>(target));
    }
    now = present && state.device.selectedSerial() == static_cast<std::int32_t>(target) ? Situation::Polling
                                                                                        : Situation::Waiting;
  }
  if (now != situation_) {
    switch (now) {
      case Situation::NoStrip: Say("No strip found; waiting for one to be plugged in."); break;
      case Situation::Waiting: Say("Waiting for " + SerialName(target) + " to be plugged in."); break;
      case Situation::Polling:
        Say(state.commandSerial == 0 && situation_ != Situation::Waiting
                ? "No serial number given: polling the first strip found, " + SerialName(target) + "."
                : "Polling " + SerialName(target) + ".");
        break;
      case Situation::Unknown: break;
    }
    situation_ = now;
  }
  const RecorderStatus log = client_.recorder().Status();
  const std::string logState = log.failing ? "Logging is failing: " + log.lastError : std::string();
  if (logState != lastLogState_) {
    if (!logState.empty()) {
      if (terminal_) out_ << "\r\x1b[K" << std::flush;
      err_ << logState << '\n' << std::flush;
    }
    else if (!lastLogState_.empty()) Say("Logging works again.");
    lastLogState_ = logState;
  }
}

std::string HeadlessSession::StatusLine() const {
  const AppState& state = client_.state();
  const ControlModel& controls = state.controls;
  std::ostringstream line;
  const std::uint32_t target = targetSerial_.load();
  const std::int32_t selected = state.device.selectedSerial();
  if (selected != 0) {
    line << SerialName(static_cast<std::uint32_t>(selected));
  } else if (target != 0) {
    line << SerialName(target) << " (waiting)";
  } else {
    line << "no strip";
  }
  line << " | " << ValueOrDash(controls.GetText(ids::VOLTAGE_VALUE)) << " V | "
       << ValueOrDash(controls.GetText(ids::FREQUENCY_VALUE)) << " Hz | "
       << ValueOrDash(controls.GetText(ids::TEMPERATURE_VALUE)) << " \u00B0C |";
  for (std::size_t k = 0; k < 4; ++k) {
    line << " CH" << (k + 1) << ' ' << ValueOrDash(controls.GetText(ids::PRESENT_VALUE[k]));
  }
  line << (state.selectedQuantity.load() == protocol::QUANTITY_POWER ? " W" : " mA");
  line << EnergyText(*client_.metricsBoard().Read(), selected != 0 ? static_cast<std::uint32_t>(selected) : target);
  const RecorderStatus log = client_.recorder().Status();
  if (!controls.IsChecked(ids::LOG_CHECK)) {
    line << " | log off";
  } else if (log.failing) {
    line << " | LOG FAILING: " << log.lastError;
  } else {
    const std::string& file = !log.currentFile.empty() ? log.currentFile : log.powerFile;
    line << " | logging " << (file.empty() ? std::string("(next record opens a file)") : file);
  }
  return line.str();
}

sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return stopSignals;
}

int RunHeadless(device::Driver& driver, Clock& clock, const HeadlessOptions& options, SuspendSource* suspend) {
  // SIGINT and SIGTERM are taken synchronously by this loop.
  const sigset_t stopSignals = BlockStopSignals();

  std::ostream& out = std::cout;
  std::ostream& err = std::cerr;
  Client client(driver, clock, options.logDirectory);
  const CommandLineResult command = client.ApplyCommandLine(options.commandLineText);
  if (!command.ok) {
    err << command.errorMessage << '\n';
    return EXIT_COMMAND_LINE_ERROR;
  }
  const bool terminal = options.forceTerminalStyle || isatty(STDOUT_FILENO) == 1;
  HeadlessSession session(client, out, err, terminal);
  client.RegisterNotifications([&session](device::DeviceEventType type) { session.PostDeviceChange(type); });
  client.SetInitialControlStates();
  // Listening before acquisition starts, so a port in use stops the run before
  // any file is written. Declared after the client: it is gone before the
  // client's records.
  metrics::MetricsServer metricsServer(
      [&client] { return metrics::FormatExposition(*client.metricsBoard().Read()); });
  if (options.metrics) {
    std::string error;
    if (!metricsServer.Start(*options.metrics, error)) {
      err << "error: " << error << '\n';
      return EXIT_FAILURE_STATUS;
    }
    out << "Metrics at http://" << metrics::FormatListenAddress(*options.metrics) << "/metrics"
        << (options.metrics->loopback ? "" : " (reachable from other machines)") << ".\n"
        << std::flush;
  }

  if (!client.StartAcquisition(session)) {
    err << "error: the acquisition thread could not be started\n";
    return EXIT_FAILURE_STATUS;
  }

  if (suspend) {
    std::string whyNot;
    if (!suspend->Start([&client] { client.OnSuspend(); }, whyNot)) {
      err << "Note: " << whyNot << ".\n" << std::flush;
      suspend = nullptr;
    }
  }

  const auto start = std::chrono::steady_clock::now();
  auto nextStatus = start + std::chrono::seconds(1);
  int stopSignal = 0;
  for (;;) {
    const timespec wait{0, 100 * 1000 * 1000};
    const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
    if (signal == SIGINT || signal == SIGTERM) {
      stopSignal = signal;
      break;
    }
    if (suspend) suspend->Poll();
    session.Tick();
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextStatus) {
      nextStatus = now + std::chrono::seconds(1);
      if (terminal) out << '\r' << session.StatusLine() << "\x1b[K" << std::flush;
      else out << session.StatusLine() << '\n' << std::flush;
    }
    if (options.durationMs &&
        now - start >= std::chrono::milliseconds(*options.durationMs)) {
      break;
    }
  }
  if (terminal) out << '\n';
  out << (stopSignal ? "Stopping on " + std::string(stopSignal == SIGINT ? "SIGINT" : "SIGTERM")
                     : std::string("Stopping after the requested duration"))
      << ": acquisition thread first, then the log files.\n"
      << std::flush;
  metricsServer.Stop();
  client.Shutdown();
  out << "Stopped; log files flushed and closed.\n" << std::flush;
  return EXIT_CLEAN_STOP;
}

}  // namespace kvx
