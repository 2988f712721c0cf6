#include "recording/csv_recorder.h"

#include <cerrno>
#include <utility>

#include "acquisition/control_ids.h"
#include "recording/log_format.h"

namespace kvx {
namespace {

// When a file name is taken, the next millisecond's name is tried, up to one
// second's worth of names; beyond that the creation counts as failed.
constexpr int MAX_NAME_ATTEMPTS = 1000;

// In 64 bits: a split interval above 4294967 s must not wrap around to a
// short one. The tick difference it is compared with is 32-bit, so such an
// interval is never reached.
std::uint64_t IntervalMs(std::uint32_t seconds) { return static_cast<std::uint64_t>(seconds) * 1000u; }

}  // namespace

CsvRecorder::CsvRecorder(AppState& state, Clock& clock, std::string directory)
    : state_(state), clock_(clock), directory_(directory.empty() ? "." : std::move(directory)) {}

CsvRecorder::~CsvRecorder() { CloseLogFiles(); }

void CsvRecorder::StartTimers(std::uint32_t startTick) {
  std::lock_guard lock(mutex_);
  lastLogTick_ = startTick;
  lastSplitTick_ = startTick;
}

void CsvRecorder::SetConnectionIdentity(const ConnectionIdentity& identity) {
  std::lock_guard lock(mutex_);
  identity_ = identity;
}

void CsvRecorder::LogSummaryReading(std::uint32_t arrivalTick, const LocalTime& readingTime, int kind, bool isOn,
                                    const std::array<double, 4>& present, double supplyVolts,
                                    double lineFrequencyHz, double temperatureC) {
  std::lock_guard lock(mutex_);
  // Unsigned 32-bit differences stay right across the wrap of the tick.
  const std::uint32_t sinceLog = arrivalTick - lastLogTick_;
  if (sinceLog < IntervalMs(state_.logIntervalSec)) return;
  // The interval keeps running while logging is off.
  lastLogTick_ = arrivalTick;
  if (!state_.controls.IsChecked(ids::LOG_CHECK)) return;

  const auto record = recording::ComposeRecord(recording::RecordValues{
      readingTime, kind, isOn, present, supplyVolts, lineFrequencyHz, temperatureC});

  const std::uint32_t sinceSplit = arrivalTick - lastSplitTick_;
  if (state_.logMode.load() == 2 && sinceSplit >= IntervalMs(state_.splitIntervalSec)) {
    lastSplitTick_ = arrivalTick;
    CloseLocked();  // this record opens new files
  }
  if (!record) {
    ReportFailure("compose record: kind " + std::to_string(kind) + " or a value does not fit a line");
    return;
  }
  WriteLocked(kind, *record, clock_.Now());
}

bool CsvRecorder::WriteLogRecord(int kind, std::string_view text) {
  const LocalTime now = clock_.Now();  // names the file if this call creates it
  std::lock_guard lock(mutex_);
  return WriteLocked(kind, text, now);
}

void CsvRecorder::CloseLogFiles() {
  std::lock_guard lock(mutex_);
  CloseLocked();
}

RecorderStatus CsvRecorder::Status() const {
  RecorderStatus status;
  {
    std::lock_guard lock(statusMutex_);
    status = status_;
  }
  status.loggingChecked = state_.controls.IsChecked(ids::LOG_CHECK);
  return status;
}

bool CsvRecorder::WriteLocked(int kind, std::string_view text, const LocalTime& now) {
  const auto slotIndex = recording::SlotOfKind(kind);
  if (!slotIndex) {
    ReportFailure("write: unknown log kind " + std::to_string(kind));
    return false;
  }
  Slot& slot = slots_[*slotIndex];
  if (!slot.file.IsOpen() && !OpenSlotLocked(slot, kind, now)) return false;
  // A header line that failed earlier is written first: no record goes into a
  // file before its six header lines.
  if (!CompleteHeaderLocked(slot)) return false;
  if (!AppendLocked(slot, text)) return false;
  ReportRecordWritten();
  return true;
}

bool CsvRecorder::OpenSlotLocked(Slot& slot, int kind, const LocalTime& now) {
  LocalTime nameTime = now;
  std::string path;
  int error = EEXIST;
  for (int attempt = 0; attempt < MAX_NAME_ATTEMPTS && error == EEXIST; ++attempt) {
    path = recording::LogFileName(directory_, kind, identity_.connectionSerial, nameTime);
    error = slot.file.Create(path);
    nameTime = recording::NextMillisecond(nameTime);
  }
  if (error != 0) {
    // The slot stays closed; the next due record tries again under its own name.
    ReportFailure(recording::DescribeError("create", path, error));
    return false;
  }
  slot.header = recording::HeaderLines(kind, identity_.serialText, identity_.firmwareText);
  slot.headerWritten = 0;
  PublishFileNames();
  return true;
}

bool CsvRecorder::CompleteHeaderLocked(Slot& slot) {
  while (slot.headerWritten < slot.header.size()) {
    if (!AppendLocked(slot, slot.header[slot.headerWritten])) return false;
    ++slot.headerWritten;
  }
  return true;
}

bool CsvRecorder::AppendLocked(Slot& slot, std::string_view line) {
  const recording::AppendResult result = slot.file.AppendLine(line);
  if (result.ok) return true;
  std::string message = recording::DescribeError("write", slot.file.Path(), result.error);
  if (result.partialLineLeft) {
    // The piece of the line could not be cut off again: the file is given up
    // so that no further line is glued to it; the next record starts a new file.
    message += " (an incomplete line remains; file closed)";
    slot.file.SyncAndClose();
    PublishFileNames();
  }
  ReportFailure(std::move(message));
  return false;
}

void CsvRecorder::CloseLocked() {
  for (Slot& slot : slots_) {
    if (!slot.file.IsOpen()) continue;
    const std::string path = slot.file.Path();
    const int error = slot.file.SyncAndClose();
    slot.header.clear();
    slot.headerWritten = 0;
    if (error != 0) ReportFailure(recording::DescribeError("close", path, error));
  }
  PublishFileNames();
}

void CsvRecorder::ReportFailure(std::string message) {
  std::lock_guard lock(statusMutex_);
  status_.failing = true;
  status_.lastError = std::move(message);
}

void CsvRecorder::ReportRecordWritten() {
  std::lock_guard lock(statusMutex_);
  status_.failing = false;
  ++status_.recordsWritten;
}

void CsvRecorder::PublishFileNames() {
  std::lock_guard lock(statusMutex_);
  status_.currentFile = slots_[0].file.Path();
  status_.powerFile = slots_[1].file.Path();
}

}  // namespace kvx
