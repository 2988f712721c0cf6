#include "app/client.h"

#include "acquisition/acquisition_thread.h"
#include "acquisition/control_ids.h"
#include "graph/waveform_graph.h"
#include "metrics/collector.h"
#include "recording/csv_recorder.h"

namespace kvx {

Client::Client(device::Driver& driver, Clock& clock, std::string logDirectory)
    : driver_(driver),
      clock_(clock),
      state_(std::make_unique<AppState>(driver)),
      recorder_(std::make_unique<CsvRecorder>(*state_, clock, std::move(logDirectory))),
      graph_(std::make_unique<WaveformGraph>(state_->controls, state_->measurement)),
      metricsCollector_(std::make_unique<metrics::MetricsCollector>(metricsBoard_, [this] {
        const RecorderStatus log = recorder_->Status();
        return metrics::LogFacts{log.loggingChecked && log.failing, log.recordsWritten};
      })) {}

Client::~Client() { Shutdown(); }

CommandLineResult Client::ApplyCommandLine(std::string_view text) {
  CommandLineResult result = ParseCommandLine(text);
  if (result.ok) state_->SetStartupValues(result.values);
  return result;
}

void Client::RegisterNotifications(std::function<void(device::DeviceEventType)> onChange) {
  for (std::string_view guid : {device::primaryInterfaceGuid, device::fallbackInterfaceGuid}) {
    const auto id = driver_.Subscribe(guid, [onChange](const device::DeviceEvent& event) { onChange(event.type); });
    if (id != 0) subscriptions_.push_back(id);
  }
}

void Client::SetInitialControlStates() {
  ControlModel& controls = state_->controls;
  controls.SetCheck(ids::CALC_CURRENT_RADIO, true);
  controls.SetCheck(ids::CALC_POWER_RADIO, false);
  controls.SetCheck(ids::WAVE_CURRENT_RADIO, true);
  controls.SetCheck(ids::WAVE_POWER_RADIO, false);
  for (const ids::YScale& scale : ids::Y_SCALES) controls.SetCheck(scale.id, scale.id == ids::DEFAULT_Y_SCALE);
}

bool Client::StartAcquisition(WindowLink& window) {
  if (acquisition_) return false;
  state_->threadRunFlag.store(1);
  state_->readLoopRunFlag.store(1);
  acquisition_ = std::make_unique<AcquisitionThread>(*state_, *recorder_, *graph_, window, clock_);
  acquisition_->SetObserver(metricsCollector_.get());
  return acquisition_->Start();
}

bool Client::OnDeviceChange(device::DeviceEventType, TreeRebuildTarget* tree) {
  device::DeviceAccess& device = state_->device;
  if (device.CountDevices() == device.deviceCount()) return false;
  if (tree) tree->DeleteAllStripItems();
  // Every panel goes, the "show average" box included: a rebuilt tree has no
  // node selected, so no panel belongs on screen.
  ControlModel& controls = state_->controls;
  for (const ids::IdRange& range :
       {ids::WAVEFORM_PANEL, ids::CALCULATION_PANEL, ids::ENVIRONMENT_ROW, ids::DEVICE_INFO_PANEL}) {
    controls.ShowControlRange(range.first, range.last, false);
  }
  const int count = device.RebuildDeviceList();
  for (int position = 1; position <= count; ++position) {
    std::int32_t serial = 0;
    if (tree && device.GetSerialAt(position, serial)) {
      tree->AddStripToTree(protocol::FormatTreeLabel(static_cast<std::uint32_t>(serial)), position);
    }
  }
  return true;
}

void Client::OnSuspend() {
  if (state_->device.selectedSerial() == 0) return;
  state_->device.VendorRequestOut(protocol::REQUEST_TYPE_OUT, protocol::REQ_SUSPEND, 0, 0, 0);
}

void Client::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  // The thread goes first, so nothing below is used after it is released.
  if (acquisition_) acquisition_->Stop();
  state_->threadRunFlag.store(0);
  state_->readLoopRunFlag.store(0);
  for (const auto id : subscriptions_) driver_.Unsubscribe(id);
  subscriptions_.clear();
  recorder_->CloseLogFiles();
}

}  // namespace kvx
