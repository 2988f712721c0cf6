#include "app/client.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>

#include <unistd.h>

#include "acquisition/acquisition_thread.h"
#include "kvx_version.h"
#include "acquisition/control_ids.h"
#include "graph/waveform_graph.h"
#include "metrics/collector.h"
#include "recording/csv_recorder.h"
#include "publish/publishers.h"
#include "recording/energy_listener.h"
#include "recording/journal_listener.h"

namespace kvx {

Client::Client(device::Driver& driver, Clock& clock, std::string logDirectory)
    : driver_(driver),
      clock_(clock),
      state_(std::make_unique<AppState>(driver)),
      journal_(
          std::make_unique<recording::JournalListener>(state_->startup.log, state_->controls, clock, logDirectory)),
      recorder_(std::make_unique<CsvRecorder>(state_->startup.log, state_->controls, clock, logDirectory,
                                              journal_.get())),
      energy_(std::make_unique<recording::EnergyListener>(
          state_->controls, std::move(logDirectory),
          [this](const std::string& message) { state_->device.Notice(message); })),
      graph_(std::make_unique<WaveformGraph>(state_->controls, state_->measurement)),
      metricsCollector_(std::make_unique<metrics::MetricsCollector>(metricsBoard_, [this] {
        const RecorderStatus log = recorder_->Status();
        return metrics::LogFacts{log.loggingChecked && log.failing, log.recordsWritten};
      }, [this](std::uint32_t serial) -> std::optional<metrics::EnergyTotals> {
        const auto figures = energy_->Figures(serial);
        if (!figures) return std::nullopt;
        return metrics::EnergyTotals{figures->joules, figures->measuredSeconds, figures->createdUnixSeconds};
      })) {}

Client::~Client() { Shutdown(); }

CommandLineResult Client::ApplyCommandLine(std::string_view text) {
  CommandLineResult result = ParseCommandLine(text);
  if (result.ok) state_->startup = result.values;
  return result;
}

void Client::SetOutletNames(const OutletNames& names) { state_->outletNames = names; }

bool Client::StartPublishers(publish::Publishers& publishers, std::string& error) {
  if (!publishers.any()) return true;
  AddListener(publishers.listener());
  publishers.SetEnergySource([this](std::uint32_t serial) { return LedgerWattHours(serial); });
  return publishers.Start(error);
}

std::optional<std::array<double, 4>> Client::LedgerWattHours(std::uint32_t serial) const {
  const auto figures = energy_->Figures(serial);
  if (!figures) return std::nullopt;
  std::array<double, 4> wattHours{};
  for (std::size_t k = 0; k < 4; ++k) wattHours[k] = figures->joules[k] / 3600.0;
  return wattHours;
}

void Client::RegisterNotifications(TreeRebuildTarget* tree, DeviceRecount::PostToOwner post) {
  if (recount_ || shutDown_) return;
  recount_ = std::make_unique<DeviceRecount>(state_->device, std::move(post),
                                             [this, tree](const DeviceListUpdate& update) {
                                               ApplyDeviceListUpdate(update, tree);
                                             });
  for (std::string_view guid : {device::primaryInterfaceGuid, device::fallbackInterfaceGuid}) {
    const auto id = driver_.Subscribe(guid, [recount = recount_.get()](const device::DeviceEvent&) {
      recount->Request();
    });
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
  acquisition_ = std::make_unique<AcquisitionThread>(*state_, *graph_, window, clock_);
  // The journal first: a connection's end is said before the files it closes.
  acquisition_->AddListener(*journal_);
  acquisition_->AddListener(*recorder_);
  acquisition_->AddListener(*energy_);
  acquisition_->AddListener(*metricsCollector_);
  for (AcquisitionListener* listener : listeners_) acquisition_->AddListener(*listener);
  return acquisition_->Start();
}

void Client::JournalProcessStarted(const std::vector<std::string>& options, const std::string& commandLineText) {
  std::string text;
  for (const std::string& option : options) {
    if (!text.empty()) text += ' ';
    // An access code is not for a log that others may read.
    text += option.starts_with("--unlock-code=") ? std::string("--unlock-code=(hidden)") : option;
  }
  const std::uint32_t serial = state_->startup.commandSerial;
  journal_->ProcessStarted(serial != 0 ? std::optional<std::uint32_t>(serial) : std::nullopt,
                            {{"version", std::string(KVX_VERSION)},
                             {"pid", std::int64_t{getpid()}},
                             {"options", text},
                             {"values", commandLineText}});
}

namespace {
std::vector<std::int32_t> ListedSerials(const device::DeviceAccess& device) {
  std::vector<std::int32_t> serials;
  std::int32_t serial = 0;
  for (int position = 1; device.GetSerialAt(position, serial); ++position) serials.push_back(serial);
  return serials;
}
}  // namespace

// The strips that came and went between two lists, for the event journal.
void Client::JournalListChange(const std::vector<std::int32_t>& before, const std::vector<std::int32_t>& after) {
  const auto listed = [](const std::vector<std::int32_t>& list, std::int32_t serial) {
    return std::find(list.begin(), list.end(), serial) != list.end();
  };
  for (const std::int32_t serial : after) {
    if (!listed(before, serial)) journal_->WriteFor(static_cast<std::uint32_t>(serial), "strip_arrived");
  }
  for (const std::int32_t serial : before) {
    if (!listed(after, serial)) journal_->WriteFor(static_cast<std::uint32_t>(serial), "strip_left");
  }
}

void Client::ApplyDeviceListUpdate(const DeviceListUpdate& update, TreeRebuildTarget* tree) {
  if (tree) tree->DeleteAllStripItems();
  // Every panel goes, the "show average" box included: a rebuilt tree has no
  // node selected, so no panel belongs on screen.
  ControlModel& controls = state_->controls;
  for (const ids::IdRange& range :
       {ids::WAVEFORM_PANEL, ids::CALCULATION_PANEL, ids::ENVIRONMENT_ROW, ids::DEVICE_INFO_PANEL}) {
    controls.ShowControlRange(range.first, range.last, false);
  }
  device::DeviceAccess& device = state_->device;
  const std::vector<std::int32_t> before = ListedSerials(device);
  device.InstallDeviceList(update.list, update.count);
  JournalListChange(before, ListedSerials(device));
  for (int position = 1; position <= update.count; ++position) {
    std::int32_t serial = 0;
    if (tree && device.GetSerialAt(position, serial)) {
      tree->AddStripToTree(protocol::FormatTreeLabel(static_cast<std::uint32_t>(serial)), position);
    }
  }
}

namespace {
// The outcome of one suspend notice, shared by the caller and the worker.
struct NoticeOutcome {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<bool> sent;
  void Set(bool value) {
    std::lock_guard lock(mutex);
    sent = value;
    done.notify_all();
  }
};
}  // namespace

bool Client::OnSuspend(std::chrono::milliseconds maxWait) {
  const std::int32_t serial = state_->selection.serial();
  if (serial == 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + maxWait;
  auto outcome = std::make_shared<NoticeOutcome>();
  const bool posted = noticeThread_.Post([device = &state_->device, serial, outcome, deadline] {
    // Waits here behind a read in flight or a slow request of the other thread.
    std::lock_guard lock(device->deviceLock());
    // Past the caller's wait the system may already sleep: a notice now would
    // reach the strip after resume, so none goes.
    if (std::chrono::steady_clock::now() > deadline) return outcome->Set(false);
    outcome->Set(
        device->Request(serial, protocol::BuildSetupPacket(protocol::REQUEST_TYPE_OUT, protocol::REQ_SUSPEND, 0, 0, 0))
            .has_value());
  });
  if (!posted) return false;
  std::unique_lock lock(outcome->mutex);
  outcome->done.wait_until(lock, deadline, [&] { return outcome->sent.has_value(); });
  return outcome->sent.value_or(false);
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
  // After the subscriptions: no event can start a recount any more. A recount
  // in flight is waited for and its list is not applied.
  if (recount_) recount_->Stop();
  noticeThread_.Stop();
  energy_->Finish();
  recorder_->CloseLogFilesAndWait(CloseReason::Shutdown);  // on disk before the caller says the files are closed
}

}  // namespace kvx
