// The event journal: a JSON Lines file ("kvx-events.jsonl") beside the CSV
// logs that says why the records have gaps. One object per line:
//   {"time":"2026-12-08T09:12:03.417+01:00","ms":123456,"serial":"1A2B3","event":"file_closed",...}
// "time" is local time with milliseconds and UTC offset, "ms" the steady
// millisecond counter, "serial" the strip ("%05X", as in the file names) or
// null, then the event's own fields.
//
// The file is opened with O_APPEND|O_CREAT and is never truncated past what
// this journal appended: every line goes in with one write(2) (a short one is
// completed), and a line that cannot go in whole is cut back off, so the file
// only ever holds whole lines. Writes are small
// appends to the page cache (no fsync), which is why they are made directly
// on the caller's thread, even under the recorder's lock: they cost about as
// much as the CSV record's own write. A journal that cannot be written never
// stops the CSV logging; the failure is told once per episode (stderr and the
// failure callback). Lines that could not be written are held, up to
// MAX_HELD_LINES (the oldest beyond that are dropped and counted), and go in
// with their own times once the file can be written again, after a
// "journal_recovered" line that says how many were held and how many lost:
// so a full disk or a missing directory does not erase the events that
// explain the gap they cause.
// When the file's name or directory has gone, the journal is opened anew under
// its name as soon as the directory exists again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "device/clock.h"

namespace kvx::recording {

inline constexpr const char* JOURNAL_FILE_NAME = "kvx-events.jsonl";
inline constexpr std::size_t MAX_HELD_LINES = 256;

// A field's value: text, a whole number or nothing (null).
using JournalValue = std::variant<std::string, std::int64_t, std::nullptr_t, std::vector<std::string>>;
using JournalFields = std::vector<std::pair<std::string, JournalValue>>;

// "2026-12-08T09:12:03.417+01:00"; `utcOffsetSec` east of UTC.
std::string FormatIsoTime(const LocalTime& time, long utcOffsetSec);

// The same with the time's own UTC offset (that of the moment it names).
std::string LocalIsoTime(const LocalTime& time);


// One whole journal line (ending in "\n"). `serial` nullopt gives null.
std::string ComposeJournalLine(const std::string& isoTime, std::uint32_t tickMs,
                               std::optional<std::uint32_t> serial, std::string_view event,
                               const JournalFields& fields);

class EventJournal {
 public:
  // Told a failure message once per failure episode, on the writing thread.
  using FailureFunction = std::function<void(const std::string& message)>;
  // Told when lines reach the file again after a failure, on the writing thread.
  using RecoveryFunction = std::function<void()>;

  EventJournal(std::string directory, Clock& clock, FailureFunction onFailure = {},
               RecoveryFunction onRecovered = {});
  ~EventJournal();
  EventJournal(const EventJournal&) = delete;
  EventJournal& operator=(const EventJournal&) = delete;

  // Writes one line now (after any held ones); returns whether it reached the
  // file whole. When it did not, it is held for the next write. Any thread.
  bool Write(std::optional<std::uint32_t> serial, std::string_view event, const JournalFields& fields = {});
  // Flushes what was written to disk (at shutdown); false when that failed.
  bool Sync();

  const std::string& Path() const { return path_; }
  std::uint64_t LinesLost() const;

 private:
  void HoldLocked(std::string line);
  bool FlushLocked(const std::string& time, std::uint32_t tick);
  bool EnsureOpenLocked();
  bool AppendLocked(const std::string& line, int& error);
  void FailLocked(const std::string& message);

  const std::string path_;
  Clock& clock_;
  FailureFunction onFailure_;
  RecoveryFunction onRecovered_;
  mutable std::mutex mutex_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool failing_ = false;
  std::deque<std::string> held_;  // lines not written yet, oldest first
  std::uint64_t lost_ = 0;        // lines dropped from held_ in the current episode
  std::uint64_t lostTotal_ = 0;
};

}  // namespace kvx::recording
