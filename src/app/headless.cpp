#include "app/headless.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

#include "acquisition/acquisition_thread.h"
#include "acquisition/control_ids.h"
#include "app/headless_wait.h"
#include "app/service_notify.h"
#include "app/status_output.h"
#include "app/stop_request.h"
#include "device/printable_text.h"
#include "metrics/exposition.h"
#include "metrics/http_server.h"
#include "recording/csv_recorder.h"
#include "recording/energy_listener.h"

namespace kvx {

namespace {

// A label that still holds its placeholder text ("(CH1NOW)", "(voltage)")
// has never been written: show a dash instead.
std::string ValueOrDash(const std::string& text) {
  if (text.empty() || (text.front() == '(' && text != protocol::BAD_TEXT)) return "-";
  return text;
}

std::string SerialName(std::uint32_t serial) { return protocol::FormatTreeLabel(serial); }

// Longer than this without a reading, a connection is said to stall.
constexpr std::uint32_t STALL_MS = 2000;

// " | energy today 1.23 0.00 0.00 0.00 Wh": what each outlet of the strip drew
// today while power was read (the ledger's rows of earlier runs today
// included), and "(not measuring)" while no power readings are integrated.
std::string EnergyText(const std::optional<recording::EnergyFigures>& figures, const LocalTime& now) {
  if (!figures) return " | energy n/a (no power readings)";
  const std::int64_t today =
      recording::LocalDay(static_cast<std::int64_t>(std::floor(UnixSeconds(now))), now.utcOffsetSec);
  std::string text = " | energy today";
  for (std::size_t k = 0; k < 4; ++k) {
    char value[32];
    std::snprintf(value, sizeof value, " %.2f", figures->todayDay == today ? figures->todayWh[k] : 0.0);
    text += value;
  }
  return text + (figures->measuring ? " Wh" : " Wh (not measuring)");
}

}  // namespace

HeadlessSession::HeadlessSession(Client& client, std::ostream& out, std::ostream& err, bool terminal)
    : client_(client), out_(out), err_(err), terminal_(terminal) {
  targetSerial_.store(client.state().startup.commandSerial);
}

void HeadlessSession::RegisterInterfaceNotifications() {
  listed_.store(true);
  if (wake_) wake_();
}

void HeadlessSession::Post(std::function<void()> job) {
  {
    std::lock_guard lock(jobsMutex_);
    jobs_.push_back(std::move(job));
  }
  if (wake_) wake_();
}

void HeadlessSession::Say(const std::string& message) {
  // On a terminal the status line is rewritten in place: clear it first.
  if (terminal_) out_ << "\r\x1b[K";
  out_ << message << '\n' << std::flush;
}

void HeadlessSession::Tick() {
  std::deque<std::function<void()>> pending;
  {
    std::lock_guard lock(jobsMutex_);
    pending.swap(jobs_);
  }
  for (const auto& job : pending) job();
  if (!listed_.load()) return;  // the thread has not listed the strips yet

  AppState& state = client_.state();
  std::uint32_t target = targetSerial_.load();
  if (target == 0) {
    std::int32_t first = 0;
    if (state.device.GetSerialAt(1, first) && first != 0) {
      target = static_cast<std::uint32_t>(first);
      targetSerial_.store(target);
      state.selection.Set(first);
    }
  }
  Situation now = Situation::NoStrip;
  if (target != 0) {
    std::string path;
    const bool present = state.device.FindDevicePath(static_cast<std::int32_t>(target), path);
    if (present && state.selection.serial() == 0) {
      // The strip this run follows is back after it went away: poll it
      // again. Its new connection starts new log files.
      state.selection.Set(static_cast<std::int32_t>(target));
    }
    now = present && state.selection.serial() == static_cast<std::int32_t>(target) ? Situation::Polling
                                                                                   : Situation::Waiting;
  }
  if (now != situation_) {
    switch (now) {
      case Situation::NoStrip: Say("No strip found; waiting for one to be plugged in."); break;
      case Situation::Waiting: Say("Waiting for " + SerialName(target) + " to be plugged in." + StripsSeen()); break;
      case Situation::Polling:
        Say(state.startup.commandSerial == 0 && situation_ != Situation::Waiting
                ? "No serial number given: polling the first strip found, " + SerialName(target) + "."
                : "Polling " + SerialName(target) + ".");
        break;
      case Situation::Unknown: break;
    }
    situation_ = now;
  }
  ReportLogging();
  ReportSerialRequestFailures();
}

// " Strips found: S/N=2C4D5, S/N=3D5E6." (or " No strip found."): a
// wrong serial is then plain to see.
std::string HeadlessSession::StripsSeen() const {
  const AppState& state = client_.state();
  std::string seen;
  std::int32_t serial = 0;
  for (int position = 1; state.device.GetSerialAt(position, serial); ++position)
    seen += (seen.empty() ? "" : ", ") + SerialName(static_cast<std::uint32_t>(serial));
  return seen.empty() ? " No strip found." : " Strips found: " + seen + ".";
}

void HeadlessSession::SayOnStderr(const std::string& message) {
  // The status line on a terminal is cleared first, so the message stands alone.
  if (terminal_) out_ << "\r\x1b[K" << std::flush;
  err_ << PrintableText(message) << '\n' << std::flush;
}

void HeadlessSession::ReportLogging() {
  // Once when a failure begins and once when it ends, however many records
  // fail meanwhile or however their reasons change.
  const RecorderStatus log = client_.recorder().Status();
  if (log.failureEpisodes != logEpisodesSeen_) {
    // One that began and ended between two looks is said all the same.
    if (logFailureSaid_) SayOnStderr("Logging works again.");
    SayOnStderr("Logging is failing: " + log.episodeError);
    logEpisodesSeen_ = log.failureEpisodes;
    logFailureSaid_ = true;
  }
  if (logFailureSaid_ && !log.failing) {
    SayOnStderr("Logging works again.");
    logFailureSaid_ = false;
  }
}

void HeadlessSession::ReportSerialRequestFailures() {
  const AcquisitionThread* thread = client_.acquisition();
  if (!thread) return;
  const AcquisitionStatus status = thread->Status();
  if (status.serialRequestFailures == serialFailuresSeen_) return;
  serialFailuresSeen_ = status.serialRequestFailures;
  SayOnStderr(SerialName(status.connectionSerial) +
              " did not give its serial number when its connection opened; its files are named after the "
              "serial it was listed with.");
}

std::string HeadlessSession::StatusLine() const {
  const AppState& state = client_.state();
  const ControlModel& controls = state.controls;
  std::ostringstream line;
  const std::uint32_t target = targetSerial_.load();
  const std::int32_t selected = state.selection.serial();
  // Values are shown only while a connection brings readings: the labels of
  // an ended connection or of a stall are not live.
  const AcquisitionThread* thread = client_.acquisition();
  const AcquisitionStatus status = thread ? thread->Status() : AcquisitionStatus{};
  std::uint32_t silentMs = 0;
  if (status.connected) {
    const std::uint32_t since = status.lastReadingTick != 0 ? status.lastReadingTick : status.connectedTick;
    silentMs = client_.clock().TickCount() - since;
  }
  const bool live = status.connected && silentMs < STALL_MS;
  const auto shown = [live](const std::string& text) { return live ? ValueOrDash(text) : std::string("-"); };
  if (selected != 0) {
    line << SerialName(static_cast<std::uint32_t>(selected)) << (status.connected ? "" : " (connecting)");
  } else if (target != 0) {
    line << SerialName(target) << " (waiting)";
  } else {
    line << "no strip";
  }
  if (status.connected && !live) line << " | no readings for " << silentMs / 1000 << " s";
  line << " | " << shown(controls.GetText(ids::VOLTAGE_VALUE)) << " V | "
       << shown(controls.GetText(ids::FREQUENCY_VALUE)) << " Hz | "
       << shown(controls.GetText(ids::TEMPERATURE_VALUE)) << " \u00B0C |";
  for (std::size_t k = 0; k < 4; ++k) {
    line << " CH" << (k + 1) << ' ' << shown(controls.GetText(ids::PRESENT_VALUE[k]));
  }
  const bool power = state.selectedQuantity.load() == protocol::QUANTITY_POWER;
  line << (power ? " W" : " mA");
  // Energy is measured only from power readings: in current mode there is none to show.
  if (power)
    line << EnergyText(client_.energy().Figures(status.connectionSerial), client_.clock().Now());
  else
    line << " | energy n/a (current)";
  const RecorderStatus log = client_.recorder().Status();
  if (!controls.IsChecked(ids::LOG_CHECK)) {
    line << " | log off";
  } else if (log.failing) {
    line << " | LOG FAILING: " << log.lastError;
  } else {
    const std::string& file = !log.currentFile.empty() ? log.currentFile : log.powerFile;
    line << " | logging " << (file.empty() ? std::string("(next record opens a file)") : file);
  }
  // The log directory and the failure text come from outside.
  return PrintableText(line.str());
}

namespace {

// The loop sleeps until the next status line, the watchdog's next check or
// the end of the run; device changes, the first listing and a stop wake it at
// once. The log's state is looked at with each status line. Only a suspend
// source that needs its Poll (no wake-up of its own) makes it look every 100 ms.
std::chrono::milliseconds TimeToNextPass(std::chrono::steady_clock::time_point start,
                                         std::chrono::steady_clock::time_point nextStatus,
                                         const HeadlessOptions& options, bool polledSuspend,
                                         std::optional<std::chrono::steady_clock::time_point> watchdogCheck) {
  const auto now = std::chrono::steady_clock::now();
  auto until = nextStatus;
  if (watchdogCheck) until = std::min(until, *watchdogCheck);
  if (options.durationMs) until = std::min(until, start + std::chrono::milliseconds(*options.durationMs));
  if (polledSuspend) until = std::min(until, now + std::chrono::milliseconds(100));
  return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(until - now));
}

}  // namespace

namespace {

// Starts the endpoint when metrics were asked for and says where it listens;
// nullopt when it runs (or none was asked), else the exit status.
std::optional<int> StartMetrics(metrics::MetricsServer& server, const HeadlessOptions& options, std::ostream& out,
                                std::ostream& err) {
  if (!options.metrics) return std::nullopt;
  std::string error;
  if (!server.Start(*options.metrics, error)) {
    err << "kvxclient: " << PrintableText(error) << '\n';
    return server.configurationRefused() ? EXIT_COMMAND_LINE_ERROR : EXIT_FAILURE_STATUS;
  }
  out << "Metrics at " << (options.metricsWeb.tls() ? "https://" : "http://")
      << metrics::FormatListenAddress(*options.metrics) << "/metrics"
      << (options.metrics->loopback ? "" : " (reachable from other machines)") << ".\n"
      << std::flush;
  return std::nullopt;
}

// The suspend notice, when the machine has a source of it; null otherwise.
SuspendSource* StartSuspendNotice(SuspendSource* suspend, Client& client, const HeadlessOptions& options,
                                  std::ostream& err) {
  if (!suspend) return nullptr;
  std::string whyNot;
  if (suspend->Start([&client] { client.OnSuspend(); }, whyNot)) return suspend;
  // A service on a machine without a system bus would repeat this at every
  // start; on a terminal it helps.
  if (options.terminalNotes) err << "Note: " << whyNot << ".\n" << std::flush;
  return nullptr;
}

// The status line once a second until a stop signal (true) or the end of the
// requested duration (false).
bool RunUntilStopped(HeadlessSession& session, Client& client, HeadlessWaiter& waiter, const HeadlessOptions& options,
                     SuspendSource* suspend, std::ostream& out, bool terminal) {
  ServiceNotifier service;
  bool ready = false;
  const auto start = std::chrono::steady_clock::now();
  auto nextStatus = start + std::chrono::seconds(1);
  const bool polled = suspend != nullptr && suspend->NeedsPoll();
  bool stopped = false;
  for (;;) {
    if (waiter.Wait(TimeToNextPass(start, nextStatus, options, polled, service.nextCheck()))) {
      stopped = true;
      break;
    }
    if (suspend) suspend->Poll();
    session.Tick();
    const auto now = std::chrono::steady_clock::now();
    if (!ready && session.listed()) {
      ready = true;
      service.Ready();
    }
    if (AcquisitionThread* thread = client.acquisition()) service.Check(thread->Status(), now);
    if (now >= nextStatus) {
      // On a fixed one-second grid from the start, so that a run of a given
      // duration ends with its last status line.
      nextStatus += std::chrono::seconds(1);
      if (nextStatus <= now) nextStatus = now + std::chrono::seconds(1);
      const std::string line = session.StatusLine();
      if (terminal) out << '\r' << line << "\x1b[K" << std::flush;
      else out << line << '\n' << std::flush;
      service.Status(line);
    }
    if (options.durationMs && now - start >= std::chrono::milliseconds(*options.durationMs)) break;
  }
  service.Stopping();
  return stopped;
}

// The publishers hear the acquisition from its start; one that cannot start
// (a NUT file it cannot write) stops the run before it begins.
std::optional<int> StartPublishers(publish::Publishers& publishers, Client& client, std::ostream& err) {
  std::string error;
  if (client.StartPublishers(publishers, error)) return std::nullopt;
  err << "kvxclient: " << PrintableText(error) << '\n';
  return EXIT_COMMAND_LINE_ERROR;
}

}  // namespace

int RunHeadless(device::Driver& driver, Clock& clock, const HeadlessOptions& options, SuspendSource* suspend) {
  InstallStopSignalHandlers();  // idempotent: main has normally done it first
  StatusOutput status(STDOUT_FILENO, std::cerr);
  std::ostream& out = status.stream();
  std::ostream& err = std::cerr;
  publish::Publishers publishers(options.publish);  // outlives the client's thread
  Client client(driver, clock, options.logDirectory);
  client.SetOutletNames(options.outletNames);
  const CommandLineResult command = client.ApplyCommandLine(options.commandLineText);
  if (!command.ok) {
    err << PrintableText(command.errorMessage) << '\n' << PrintableText(command.errorDetail) << '\n';
    return EXIT_COMMAND_LINE_ERROR;
  }
  if (!command.unreadText.empty()) err << "kvxclient: " << PrintableText(TakenAsText(command)) << '\n';
  const bool terminal = options.forceTerminalStyle || isatty(STDOUT_FILENO) == 1;
  HeadlessWaiter waiter;
  HeadlessSession session(client, out, err, terminal);
  session.SetWake([&waiter] { waiter.Wake(); });
  client.RegisterNotifications(&session, [&session](std::function<void()> job) { session.Post(std::move(job)); });
  client.SetInitialControlStates();
  client.JournalProcessStarted(options.programOptions, options.commandLineText);
  // Listening before acquisition starts, so a port in use stops the run before
  // any file is written. Declared after the client: it is gone before the
  // client's records.
  metrics::MetricsServer metricsServer(
      [&client] { return metrics::FormatExposition(*client.metricsBoard().Read()); }, options.metricsWeb);
  if (const std::optional<int> exit = StartMetrics(metricsServer, options, out, err)) return *exit;
  if (const std::optional<int> exit = StartPublishers(publishers, client, err)) return *exit;
  if (!client.StartAcquisition(session)) {
    err << "kvxclient: the acquisition thread could not be started\n";
    client.Shutdown();  // before the session goes: the recount posts to it
    return EXIT_FAILURE_STATUS;
  }
  suspend = StartSuspendNotice(suspend, client, options, err);
  const bool stopped = RunUntilStopped(session, client, waiter, options, suspend, out, terminal);
  if (terminal) out << '\n';
  out << (stopped ? "Stopping on " + std::string(StopSignalName(StopSignal()))
                  : std::string("Stopping after the requested duration"))
      << ": acquisition thread first, then the log files.\n"
      << std::flush;
  metricsServer.Stop();
  if (suspend) suspend->Stop();  // no notice may reach the client as it goes
  client.Shutdown();
  out << "Stopped; log files flushed and closed.\n" << std::flush;
  return EXIT_CLEAN_STOP;
}

}  // namespace kvx
