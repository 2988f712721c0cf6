// The client without its window: the shared records, the recorder, the graph
// and the acquisition thread, started and stopped in the order the dialog's
// initialisation and destruction give, plus the handling of device arrival,
// removal and suspend. The Qt window and the headless mode both drive one.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "acquisition/app_state.h"
#include "acquisition/sinks.h"
#include "app/command_line.h"
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

// What the arrival/removal rebuild does to a device tree. The window
// implements it; headless mode passes none.
class TreeRebuildTarget {
 public:
  virtual ~TreeRebuildTarget() = default;
  // Deletes every strip position's nodes (children before parents) and sets
  // the view back to "nothing selected".
  virtual void DeleteAllStripItems() = 0;
  virtual void AddStripToTree(const std::string& label, int position) = 0;
};

class Client {
 public:
  Client(device::Driver& driver, Clock& clock, std::string logDirectory = ".");
  ~Client();  // Shutdown()

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  AppState& state() { return *state_; }
  CsvRecorder& recorder() { return *recorder_; }
  WaveformGraph& graph() { return *graph_; }
  AcquisitionThread* acquisition() { return acquisition_.get(); }
  // The latest figures for the metrics endpoint and the energy in the status
  // line; kept up to date by the acquisition thread.
  const metrics::MetricsBoard& metricsBoard() const { return metricsBoard_; }

  // ---- Start, in the dialog's order.
  // Reads and checks the command-line text; on success stores the start-up
  // values (logMode raised by 100 unless the text was empty).
  CommandLineResult ApplyCommandLine(std::string_view text);
  // Subscribes to arrival and removal of both interface classes; `onChange`
  // runs on the driver's thread and must hand the event on to the caller's
  // own thread, which then calls OnDeviceChange.
  void RegisterNotifications(std::function<void(device::DeviceEventType)> onChange);
  // The initial radio states: 5003, 6009 and the Y scale 6016 checked.
  void SetInitialControlStates();
  // Sets both run flags and starts the acquisition thread.
  bool StartAcquisition(WindowLink& window);

  // ---- Events (call on the thread that owns the window, or the headless loop).
  // Recounts the strips; when their number changed, hides the panels, rebuilds
  // the list and (through `tree`, when given) the device tree. Returns true
  // when it rebuilt. Changes neither selectedSerial nor the connection.
  bool OnDeviceChange(device::DeviceEventType type, TreeRebuildTarget* tree);
  // The system is about to suspend: tell the selected strip.
  void OnSuspend();

  // ---- Stop: the thread first (flags cleared, joined), then notifications,
  // device list and log files. Idempotent.
  void Shutdown();

 private:
  device::Driver& driver_;
  Clock& clock_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<CsvRecorder> recorder_;
  std::unique_ptr<WaveformGraph> graph_;
  metrics::MetricsBoard metricsBoard_;
  std::unique_ptr<metrics::MetricsCollector> metricsCollector_;
  std::unique_ptr<AcquisitionThread> acquisition_;
  std::vector<device::Driver::SubscriptionId> subscriptions_;
  bool shutDown_ = false;
};

}  // namespace kvx
