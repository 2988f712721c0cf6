// The client without its window: the shared records, the event journal, the
// recorder, the graph, the metrics and the acquisition thread with its
// listeners, started and stopped in the order the dialog's
// initialisation and destruction give, plus the handling of device arrival,
// removal and suspend. The Qt window and the headless mode both drive one.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/app_state.h"
#include "acquisition/listener.h"
#include "acquisition/sinks.h"
#include "app/command_line.h"
#include "app/device_recount.h"
#include "app/job_thread.h"
#include "device/clock.h"
#include "device/driver.h"
#include "metrics/snapshot.h"

namespace kvx {

class AcquisitionThread;
class CsvRecorder;
class WaveformGraph;
namespace metrics {
class MetricsCollector;
}
namespace publish {
class Publishers;
}
namespace recording {
class JournalListener;
class EnergyListener;
}

// How long the suspend notice may hold up the thread that received the
// system's notice: a read in flight holds deviceLock for at most the read
// time-out, and the notice itself takes a moment more.
inline constexpr std::chrono::milliseconds SUSPEND_NOTICE_WAIT =
    device::DEFAULT_READ_TIMEOUT + std::chrono::milliseconds(100);

class Client {
 public:
  Client(device::Driver& driver, Clock& clock, std::string logDirectory = ".");
  ~Client();  // Shutdown()

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  AppState& state() { return *state_; }
  Clock& clock() const { return clock_; }
  CsvRecorder& recorder() { return *recorder_; }
  recording::EnergyListener& energy() { return *energy_; }
  WaveformGraph& graph() { return *graph_; }
  AcquisitionThread* acquisition() { return acquisition_.get(); }
  // The latest figures for the metrics endpoint and the energy in the status
  // line; kept up to date by the acquisition thread.
  const metrics::MetricsBoard& metricsBoard() const { return metricsBoard_; }

  // ---- Start, in the dialog's order.
  // Reads and checks the command-line text; on success stores the start-up
  // values (logMode raised by 100 unless the text was empty).
  CommandLineResult ApplyCommandLine(std::string_view text);
  // The outlets' names every connection carries (--outlet-names); before StartAcquisition.
  void SetOutletNames(const OutletNames& names);
  // Each outlet's energy in the strip's ledger (on disk), in Wh; none before a ledger. Any thread.
  std::optional<std::array<double, 4>> LedgerWattHours(std::uint32_t serial) const;
  // The publishers a run asked for hear the acquisition from its start and
  // take their energy from the ledgers; before StartAcquisition. False with
  // `error` when one cannot start (a NUT file it cannot write): the run
  // should not begin then. Nothing to do when none was asked for.
  bool StartPublishers(publish::Publishers& publishers, std::string& error);
  // Subscribes to arrival and removal of both interface classes. Each event
  // starts a recount on a worker, never on the caller's thread (bursts
  // coalesce); when the number of strips changed, `post` hands the new list
  // to the caller's thread, which applies it with ApplyDeviceListUpdate and
  // `tree` (none in headless mode). Once only; Shutdown ends it.
  void RegisterNotifications(TreeRebuildTarget* tree, DeviceRecount::PostToOwner post);
  // The initial radio states: 5003, 6009 and the Y scale 6016 checked.
  void SetInitialControlStates();
  // One more listener of the acquisition thread's events, before
  // StartAcquisition; it outlives the client's thread. The client's own come
  // first: the event journal, the CSV recorder, the energy ledger, the metrics.
  void AddListener(AcquisitionListener& listener) { listeners_.push_back(&listener); }
  // Sets both run flags and starts the acquisition thread.
  bool StartAcquisition(WindowLink& window);
  // The journal's first line of a run that logs from start: the version, the
  // options (secrets masked) and the start-up values. Call after
  // ApplyCommandLine, before StartAcquisition.
  void JournalProcessStarted(const std::vector<std::string>& options, const std::string& commandLineText);

  // ---- Events (on the thread that owns the window, or the headless loop).
  // A list the recount enumerated: deletes the tree's nodes, hides the
  // panels, swaps the list in and adds every strip's nodes, in that order.
  // Changes neither the selection nor the connection.
  void ApplyDeviceListUpdate(const DeviceListUpdate& update, TreeRebuildTarget* tree);
  // The system is about to suspend: tell the selected strip. The request goes
  // out from a worker, so a read in flight or a slow strip holds the caller
  // up for at most `maxWait`; a notice that could not be sent by then is
  // dropped rather than sent after the system slept. True when it was sent.
  bool OnSuspend(std::chrono::milliseconds maxWait = SUSPEND_NOTICE_WAIT);
  // The recount behind RegisterNotifications (null before it).
  const DeviceRecount* recount() const { return recount_.get(); }

  // ---- Stop: the thread first (flags cleared, joined), then notifications,
  // the recount (a pass in flight waited for, its list dropped), the suspend
  // notice's worker, the energy ledger's hour in progress and the log files.
  // Idempotent.
  void Shutdown();

 private:
  void JournalListChange(const std::vector<std::int32_t>& before, const std::vector<std::int32_t>& after);

  device::Driver& driver_;
  Clock& clock_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<recording::JournalListener> journal_;  // before the recorder, which tells it
  std::unique_ptr<CsvRecorder> recorder_;
  std::unique_ptr<recording::EnergyListener> energy_;  // before the metrics, which read its totals
  std::unique_ptr<WaveformGraph> graph_;
  metrics::MetricsBoard metricsBoard_;
  std::unique_ptr<metrics::MetricsCollector> metricsCollector_;
  std::vector<AcquisitionListener*> listeners_;  // added by the front ends
  std::unique_ptr<AcquisitionThread> acquisition_;
  std::vector<device::Driver::SubscriptionId> subscriptions_;
  std::unique_ptr<DeviceRecount> recount_;
  JobThread noticeThread_;  // sends the suspend notice
  bool shutDown_ = false;
};

}  // namespace kvx
