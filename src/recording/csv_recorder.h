// The CSV recorder: while the Log check box (3000) is checked it writes the
// summary readings, one line per record interval, to a current log and a power
// log in its directory, each created on demand and headed by six lines, and
// closed on a quantity or outlet change, on a split and at shutdown.
//
// Threads: LogSummaryReading, StartTimers and SetConnectionIdentity run on the
// acquisition thread; CloseLogFiles (the window's Log box
// handler calls it when the box is unticked) and Status on either.
// One lock owned by the recorder keeps a close from overlapping a creation or
// a write; Status reads a separate small record, so it never waits for disk I/O.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/app_state.h"
#include "acquisition/sinks.h"
#include "device/clock.h"
#include "recording/log_file.h"

namespace kvx {

struct RecorderStatus {
  bool loggingChecked = false;  // the Log check box
  bool failing = false;         // the latest creation or write failed; cleared by the next good record
  std::string lastError;        // the most recent failure ("create|write|close <file>: <reason>"), kept after recovery
  std::string currentFile;      // the open current log, empty when closed
  std::string powerFile;        // the open power log, empty when closed
  std::uint64_t recordsWritten = 0;
};

class CsvRecorder final : public MeasurementRecorder {
 public:
  // `directory` receives the files; "." (the working directory) names them "./...".
  CsvRecorder(AppState& state, Clock& clock, std::string directory = ".");
  ~CsvRecorder() override;  // closes the files (flushed to disk)

  CsvRecorder(const CsvRecorder&) = delete;
  CsvRecorder& operator=(const CsvRecorder&) = delete;

  void StartTimers(std::uint32_t startTick) override;
  void SetConnectionIdentity(const ConnectionIdentity& identity) override;
  void LogSummaryReading(std::uint32_t arrivalTick, const LocalTime& readingTime, int kind, bool isOn,
                         const std::array<double, 4>& present, double supplyVolts, double lineFrequencyHz,
                         double temperatureC) override;
  void CloseLogFiles() override;

  // Opens (creating and heading) the log of `kind` if it is closed, then
  // writes `text`. Returns whether the text reached the file whole.
  bool WriteLogRecord(int kind, std::string_view text);

  RecorderStatus Status() const;

 private:
  struct Slot {
    recording::LogFile file;
    std::vector<std::string> header;  // the new file's six lines
    std::size_t headerWritten = 0;    // how many of them are in the file
  };

  bool WriteLocked(int kind, std::string_view text, const LocalTime& now);
  bool OpenSlotLocked(Slot& slot, int kind, const LocalTime& now);
  bool CompleteHeaderLocked(Slot& slot);
  bool AppendLocked(Slot& slot, std::string_view line);
  void CloseLocked();

  void ReportFailure(std::string message);
  void ReportRecordWritten();
  void PublishFileNames();

  AppState& state_;
  Clock& clock_;
  const std::string directory_;

  std::mutex mutex_;  // everything below up to statusMutex_
  ConnectionIdentity identity_;
  std::uint32_t lastLogTick_ = 0;
  std::uint32_t lastSplitTick_ = 0;
  std::array<Slot, 2> slots_;  // LOG_KIND_CURRENT, LOG_KIND_POWER

  mutable std::mutex statusMutex_;  // taken inside mutex_, never the other way round
  RecorderStatus status_;
};

}  // namespace kvx
