// The event journal as a listener: it hears the acquisition thread's
// connections, time-outs and failed requests, the CSV recorder's files and
// failures, and the client's strips arriving and leaving, and writes each as
// one line of the journal (event_journal.h). Lines are written while the Log
// box is checked (file closes always, and the process start when the start-up
// values switch logging on): while logging is off there is no record to
// account for.
//
// Threads: the listener's events come on the acquisition thread; the
// recorder's file events on whichever thread wrote or closed the file (under
// the recorder's lock, which is taken before the journal's own); strip events
// on the user-interface thread. Every method is safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "acquisition/app_state.h"
#include "acquisition/control_model.h"
#include "acquisition/listener.h"
#include "device/clock.h"
#include "recording/event_journal.h"

namespace kvx::recording {

struct JournalStatus {
  bool failing = false;  // the latest line could not be written
  std::string error;     // the most recent failure, kept after recovery
};

class JournalListener final : public AcquisitionListener {
 public:
  // The journal file goes into `directory` ("." when empty); `controls` gives
  // the Log check box, `settings` the logging mode; both outlive the listener.
  JournalListener(const LogSettings& settings, const ControlModel& controls, Clock& clock, std::string directory);

  void OnConnectionOpened(const ConnectionOpenedEvent& event) override;
  void OnReadTimeouts(const ReadTimeoutsEvent& event) override;
  void OnRequestFailed(const RequestFailedEvent& event) override;
  void OnConnectionFailing(const ConnectionFailingEvent& event) override;
  void OnConnectionEnded(const ConnectionEndedEvent& event) override;

  // An event of the strip of the latest connection, while logging is on.
  void Write(std::string_view event, const JournalFields& fields = {});
  // The same whatever the Log box says (a file closed by the box's own untick).
  void WriteAlways(std::string_view event, const JournalFields& fields = {});
  // An event of another strip (arrived, left), while logging is on.
  void WriteFor(std::optional<std::uint32_t> serial, std::string_view event, const JournalFields& fields = {});
  // The process started (version, options without secrets): written when the
  // start-up values switch logging on too, so that a run killed without a
  // trace is still seen to have started again.
  void ProcessStarted(std::optional<std::uint32_t> serial, const JournalFields& fields);
  // "shutdown" (once, however often it is asked), then the journal on disk.
  void Shutdown();
  // Flushes what was written to disk.
  void Sync() { journal_.Sync(); }

  JournalStatus Status() const;
  const std::string& Path() const { return journal_.Path(); }

 private:
  bool LoggingOn() const;
  std::optional<std::uint32_t> Serial() const;

  const LogSettings& settings_;
  const ControlModel& controls_;
  std::atomic<std::uint32_t> serial_{0};  // the latest connection's strip (0: none yet)
  std::atomic<bool> shutdownWritten_{false};
  mutable std::mutex statusMutex_;
  JournalStatus status_;
  EventJournal journal_;  // last: its callbacks write status_
};

}  // namespace kvx::recording
