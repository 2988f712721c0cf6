// The CSV recorder: while the Log check box (3000) is checked it writes the
// summary readings, one line per record interval, to a current log and a power
// log in its directory, each created on demand and headed by six lines, and
// closed on a quantity or outlet change, on a split and at shutdown. A file
// is named only once it holds its header and first record; a file whose name
// or directory has gone or been replaced is given up and said to be, and the
// next record starts a new file in the directory as soon as it exists again.
//
// The recorder is a listener of the acquisition thread: it starts its timers
// when the thread starts, takes the strip's identity when a connection opens,
// records summary readings, and closes its files at a series break.
// Threads: LogSummaryReading, StartTimers and SetConnectionIdentity run on the
// acquisition thread; CloseLogFiles (the window's Log box handler calls it
// when the box is unticked) and Status on either.
// One lock owned by the recorder keeps a close from overlapping a write; a new
// file is made (and synced) outside it, and closed files are synced by a
// background syncer, so no thread waits for the disk under the lock. Status
// reads a separate small record, so it never waits for disk I/O.
//
// The recorder tells the event journal (journal_listener.h), when it is given
// one, each file opened and closed (with its records and why it closed), and
// logging failing and working again, so that every gap in the records can be
// explained. Journal lines are small appends without fsync made directly,
// also under the lock, like a record's own append; a journal that fails is
// told in the status and never stops the CSV logging.
#pragma once

#include <array>
#include <cstdint>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "acquisition/app_state.h"
#include "acquisition/control_model.h"
#include "acquisition/listener.h"
#include "acquisition/sinks.h"
#include "device/clock.h"
#include "recording/event_journal.h"
#include "recording/journal_listener.h"
#include "recording/file_syncer.h"
#include "recording/log_file.h"

namespace kvx {

struct RecorderStatus {
  bool loggingChecked = false;  // the Log check box
  bool failing = false;         // the latest creation or write failed; cleared by the next good record
  std::string lastError;        // the most recent failure ("create|write|close <file>: <reason>",
                                // "log directory gone: <dir>", ...), kept after recovery
  std::uint64_t failureEpisodes = 0;  // times `failing` went from false to true
  std::string episodeError;           // the failure that began the latest episode
  std::string currentFile;      // the open current log, empty when closed
  std::string powerFile;        // the open power log, empty when closed
  std::uint64_t recordsWritten = 0;
  bool journalFailing = false;  // the event journal's latest line could not be written
  std::string journalError;     // its most recent failure, kept after recovery
};

class CsvRecorder final : public AcquisitionListener {
 public:
  // `settings` gives the record and split intervals and the logging mode,
  // `controls` the Log check box; both outlive the recorder. `directory`
  // receives the files; "." (the working directory) names them "./...".
  // `journal` (none: nullptr) hears the files' events and outlives the
  // recorder. `method` and `sync` are for tests: how new files are made
  // whole, and how the syncer flushes a closed file (default fsync).
  CsvRecorder(const LogSettings& settings, const ControlModel& controls, Clock& clock, std::string directory = ".",
              recording::JournalListener* journal = nullptr,
              recording::CreateMethod method = recording::CreateMethod::Unnamed,
              recording::FileSyncer::SyncFunction sync = {});
  ~CsvRecorder() override;  // closes the files and waits until they are on disk

  CsvRecorder(const CsvRecorder&) = delete;
  CsvRecorder& operator=(const CsvRecorder&) = delete;

  void OnThreadStarted(const ThreadStartedEvent& event) override { StartTimers(event.tick); }
  void OnConnectionOpened(const ConnectionOpenedEvent& event) override { SetConnectionIdentity(event.identity); }
  void OnSummaryReading(const SummaryReadingEvent& event) override;
  void OnSeriesBreak(const SeriesBreakEvent& event) override { CloseLogFiles(event.reason); }

  // The record-interval and split timers start at this tick.
  void StartTimers(std::uint32_t startTick);
  // The strip of the connection, for the files' names and headers.
  void SetConnectionIdentity(const ConnectionIdentity& identity);
  // One summary reading: a record when the record interval has passed.
  void LogSummaryReading(std::uint32_t arrivalTick, const LocalTime& readingTime, int kind, bool isOn,
                         const std::array<double, 4>& present, double supplyVolts, double lineFrequencyHz,
                         double temperatureC);
  // Hands the open files to the background syncer; does not wait for the disk.
  void CloseLogFiles(CloseReason reason);
  // CloseLogFiles, then waits until every file closed so far and the journal
  // are on disk. At shutdown the journal also says so.
  void CloseLogFilesAndWait(CloseReason reason = CloseReason::Shutdown);

  // Opens (creating and heading) the log of `kind` if it is closed, then
  // writes `text`. Returns whether the text reached the file whole.
  bool WriteLogRecord(int kind, std::string_view text);

  RecorderStatus Status() const;
  const std::string& directory() const { return directory_; }

 private:
  struct Slot {
    recording::LogFile file;
    std::uint64_t closes = 0;  // counts closes, so a creation can tell that one came meanwhile
    const char* lastCloseReason = "";
    // For the journal's account of the open file.
    std::uint64_t records = 0;
    LocalTime firstRecord{};
    LocalTime lastRecord{};
  };

  bool WriteLocked(std::unique_lock<std::mutex>& lock, int kind, std::string_view text, const LocalTime& now,
                   const LocalTime& recordTime);
  void CheckWhereaboutsLocked(Slot& slot);
  bool CreateUnlocked(std::unique_lock<std::mutex>& lock, Slot& slot, int kind, std::string_view text,
                      const LocalTime& now, const LocalTime& recordTime);
  bool AppendLocked(Slot& slot, std::string_view line);
  void CloseSlotLocked(Slot& slot, const char* reason);
  bool DirectoryGone() const;
  void CloseLocked(const char* reason);

  void ReportFailure(std::string message);
  void ReportRecordWritten();
  void PublishFileNames();

  void Journal(std::string_view event, const recording::JournalFields& fields = {});
  void JournalFileOpened(const std::string& path, int kind, const LocalTime& firstRecord);
  void JournalFileClosed(const std::string& path, std::uint64_t records, const LocalTime& firstRecord,
                         const LocalTime& lastRecord, const char* reason);

  const LogSettings& settings_;
  const ControlModel& controls_;
  Clock& clock_;
  const std::string directory_;
  recording::JournalListener* const journal_;
  const recording::CreateMethod method_;

  std::mutex mutex_;  // everything below up to statusMutex_
  ConnectionIdentity identity_;
  std::uint32_t lastLogTick_ = 0;
  std::uint32_t lastSplitTick_ = 0;
  std::array<Slot, 2> slots_;  // LOG_KIND_CURRENT, LOG_KIND_POWER

  mutable std::mutex statusMutex_;  // taken inside mutex_, never the other way round
  RecorderStatus status_;

  // Last, so it is drained and stopped first: its errors go to status_.
  recording::FileSyncer syncer_;
};

}  // namespace kvx
