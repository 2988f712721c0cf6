#include "recording/csv_recorder.h"

#include <sys/stat.h>

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

// The journal names a file without its directory: it lives beside it.
std::string BaseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::int64_t AsField(std::uint64_t value) { return static_cast<std::int64_t>(value); }

}  // namespace

CsvRecorder::CsvRecorder(const LogSettings& settings, const ControlModel& controls, Clock& clock, std::string directory,
                         recording::JournalListener* journal, recording::CreateMethod method,
                         recording::FileSyncer::SyncFunction sync)
    : settings_(settings),
      controls_(controls),
      clock_(clock),
      directory_(directory.empty() ? "." : std::move(directory)),
      journal_(journal),
      method_(method),
      syncer_([this](std::string message) { ReportFailure(std::move(message)); }, std::move(sync)) {}

CsvRecorder::~CsvRecorder() { CloseLogFilesAndWait(CloseReason::Shutdown); }

// Missing, or deleted while it is still the working directory (no links left).
bool CsvRecorder::DirectoryGone() const {
  struct stat dir {};
  if (::stat(directory_.c_str(), &dir) != 0) return errno == ENOENT;
  return dir.st_nlink == 0;
}

void CsvRecorder::StartTimers(std::uint32_t startTick) {
  std::lock_guard lock(mutex_);
  lastLogTick_ = startTick;
  lastSplitTick_ = startTick;
}

void CsvRecorder::SetConnectionIdentity(const ConnectionIdentity& identity) {
  std::lock_guard lock(mutex_);
  identity_ = identity;
}

void CsvRecorder::OnSummaryReading(const SummaryReadingEvent& event) {
  LogSummaryReading(event.tick, event.time, event.kind, event.isOn, event.present, event.line.supplyVolts,
                    event.line.lineFrequencyHz, event.line.temperatureC);
}

void CsvRecorder::LogSummaryReading(std::uint32_t arrivalTick, const LocalTime& readingTime, int kind, bool isOn,
                                    const std::array<double, 4>& present, double supplyVolts,
                                    double lineFrequencyHz, double temperatureC) {
  std::unique_lock lock(mutex_);
  // Unsigned 32-bit differences stay right across the wrap of the tick.
  const std::uint32_t sinceLog = arrivalTick - lastLogTick_;
  if (sinceLog < IntervalMs(settings_.logIntervalSec)) return;
  // The interval keeps running while logging is off.
  lastLogTick_ = arrivalTick;
  if (!controls_.IsChecked(ids::LOG_CHECK)) return;

  const auto record = recording::ComposeRecord(recording::RecordValues{
      readingTime, kind, isOn, present, supplyVolts, lineFrequencyHz, temperatureC});

  const std::uint32_t sinceSplit = arrivalTick - lastSplitTick_;
  if (settings_.logMode.load() == 2 && sinceSplit >= IntervalMs(settings_.splitIntervalSec)) {
    lastSplitTick_ = arrivalTick;
    CloseLocked(CloseReasonName(CloseReason::Split));  // this record opens new files
  }
  if (!record) {
    ReportFailure("compose record: kind " + std::to_string(kind) + " or a value does not fit a line");
    return;
  }
  WriteLocked(lock, kind, *record, clock_.Now(), readingTime);
}

bool CsvRecorder::WriteLogRecord(int kind, std::string_view text) {
  const LocalTime now = clock_.Now();  // names the file if this call creates it
  std::unique_lock lock(mutex_);
  return WriteLocked(lock, kind, text, now, now);
}

void CsvRecorder::CloseLogFiles(CloseReason reason) {
  std::lock_guard lock(mutex_);
  CloseLocked(CloseReasonName(reason));
}

void CsvRecorder::CloseLogFilesAndWait(CloseReason reason) {
  CloseLogFiles(reason);
  syncer_.Drain();
  if (!journal_) return;
  // Said once, although the client's shutdown and the destructor both come here.
  if (reason == CloseReason::Shutdown) {
    journal_->Shutdown();
  } else {
    journal_->Sync();
  }
}

RecorderStatus CsvRecorder::Status() const {
  RecorderStatus status;
  {
    std::lock_guard lock(statusMutex_);
    status = status_;
  }
  status.loggingChecked = controls_.IsChecked(ids::LOG_CHECK);
  if (journal_) {
    const recording::JournalStatus journal = journal_->Status();
    status.journalFailing = journal.failing;
    status.journalError = journal.error;
  }
  return status;
}

bool CsvRecorder::WriteLocked(std::unique_lock<std::mutex>& lock, int kind, std::string_view text,
                              const LocalTime& now, const LocalTime& recordTime) {
  const auto slotIndex = recording::SlotOfKind(kind);
  if (!slotIndex) {
    ReportFailure("write: unknown log kind " + std::to_string(kind));
    return false;
  }
  Slot& slot = slots_[*slotIndex];
  // A file that can no longer be found is given up; this record starts a new one.
  if (slot.file.IsOpen()) CheckWhereaboutsLocked(slot);
  if (!slot.file.IsOpen()) return CreateUnlocked(lock, slot, kind, text, now, recordTime);
  if (!AppendLocked(slot, text)) return false;
  ++slot.records;
  slot.lastRecord = recordTime;
  ReportRecordWritten();
  return true;
}

void CsvRecorder::CheckWhereaboutsLocked(Slot& slot) {
  const recording::Whereabouts where = slot.file.Check();
  if (where == recording::Whereabouts::InPlace) return;
  const std::string path = slot.file.Path();
  std::string message;
  const char* reason = "file_gone";
  switch (where) {
    case recording::Whereabouts::DirectoryGone:
      message = "log directory gone: " + directory_;
      reason = "directory_gone";
      break;
    case recording::Whereabouts::DirectoryReplaced:
      message = "log directory replaced: " + directory_;
      reason = "directory_replaced";
      break;
    default: message = "log file gone: " + path; break;
  }
  // What the file holds cannot be reached under its name any more; nothing
  // more goes into it, and the failure stands until a record is written to a
  // file that can be found.
  ReportFailure(std::move(message));
  CloseSlotLocked(slot, reason);
  PublishFileNames();
}

bool CsvRecorder::CreateUnlocked(std::unique_lock<std::mutex>& lock, Slot& slot, int kind, std::string_view text,
                                 const LocalTime& now, const LocalTime& recordTime) {
  // The header and the first record become the file's first content, so the
  // file never exists without either.
  std::string content;
  for (const std::string& line : recording::HeaderLines(kind, identity_.serialText, identity_.firmwareText)) {
    content += line;
  }
  content += text;
  const std::uint32_t serial = identity_.connectionSerial;
  const std::uint64_t closesBefore = slot.closes;
  std::string lastPath = recording::LogFileName(directory_, kind, serial, now);  // named in a failure
  const auto pathAt = [&](int attempt) {
    LocalTime nameTime = now;
    for (int i = 0; i < attempt; ++i) nameTime = recording::NextMillisecond(nameTime);
    lastPath = recording::LogFileName(directory_, kind, serial, nameTime);
    return lastPath;
  };

  // Made and synced without the lock, so a close on another thread never waits for the disk.
  recording::LogFile file;
  lock.unlock();
  const int error = file.Create(directory_, content, pathAt, MAX_NAME_ATTEMPTS, method_);
  lock.lock();

  if (error != 0) {
    // The slot stays closed; the next due record tries again under its own name.
    ReportFailure(DirectoryGone() ? "log directory gone: " + directory_
                                  : recording::DescribeError("create", lastPath, error));
    return false;
  }
  JournalFileOpened(lastPath, kind, recordTime);
  ReportRecordWritten();
  if (slot.file.IsOpen() || slot.closes != closesBefore) {
    // Closed (or opened again) meanwhile: the record belongs before that
    // close, so the whole new file is closed at once.
    syncer_.Hand(file.Release(), lastPath);
    JournalFileClosed(lastPath, 1, recordTime, recordTime, slot.lastCloseReason);
    return true;
  }
  slot.file = std::move(file);
  slot.records = 1;
  slot.firstRecord = recordTime;
  slot.lastRecord = recordTime;
  PublishFileNames();
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
    CloseSlotLocked(slot, "write_failed");
    PublishFileNames();
  }
  ReportFailure(std::move(message));
  return false;
}

void CsvRecorder::CloseSlotLocked(Slot& slot, const char* reason) {
  ++slot.closes;
  slot.lastCloseReason = reason;
  if (!slot.file.IsOpen()) return;
  const std::string path = slot.file.Path();
  syncer_.Hand(slot.file.Release(), path);
  JournalFileClosed(path, slot.records, slot.firstRecord, slot.lastRecord, reason);
}

void CsvRecorder::CloseLocked(const char* reason) {
  for (Slot& slot : slots_) CloseSlotLocked(slot, reason);
  PublishFileNames();
}

void CsvRecorder::ReportFailure(std::string message) {
  bool began = false;
  {
    std::lock_guard lock(statusMutex_);
    if (!status_.failing) {
      ++status_.failureEpisodes;
      status_.episodeError = message;
      began = true;
    }
    status_.failing = true;
    status_.lastError = message;
  }
  if (began) Journal("logging_failed", {{"reason", std::move(message)}});
}

void CsvRecorder::ReportRecordWritten() {
  bool recovered = false;
  std::string episodeError;
  {
    std::lock_guard lock(statusMutex_);
    recovered = status_.failing;
    if (recovered) episodeError = status_.episodeError;
    status_.failing = false;
    ++status_.recordsWritten;
  }
  if (recovered) Journal("logging_recovered", {{"failure", std::move(episodeError)}});
}

void CsvRecorder::Journal(std::string_view event, const recording::JournalFields& fields) {
  if (journal_) journal_->Write(event, fields);
}

void CsvRecorder::JournalFileOpened(const std::string& path, int kind, const LocalTime& firstRecord) {
  Journal("file_opened", {{"file", BaseName(path)},
                          {"kind", std::string(kind == LOG_KIND_POWER ? "power" : "current")},
                          {"first", recording::LocalIsoTime(firstRecord)}});
}

// Written whether or not logging is still on: the box's own untick closes files.
void CsvRecorder::JournalFileClosed(const std::string& path, std::uint64_t records, const LocalTime& firstRecord,
                                    const LocalTime& lastRecord, const char* reason) {
  if (!journal_) return;
  journal_->WriteAlways("file_closed",
                 {{"file", BaseName(path)},
                  {"records", AsField(records)},
                  {"first", recording::LocalIsoTime(firstRecord)},
                  {"last", recording::LocalIsoTime(lastRecord)},
                  {"reason", std::string(reason)}});
}

void CsvRecorder::PublishFileNames() {
  std::lock_guard lock(statusMutex_);
  status_.currentFile = slots_[0].file.Path();
  status_.powerFile = slots_[1].file.Path();
}

}  // namespace kvx
