// Why the records of a log directory stop: the event journal
// ("kvx-events.jsonl") read for one strip, and the causes of a stretch without
// records taken from the events inside it that tell one (a connection's end,
// a logging failure, logging switched off, a stop, a start after a run that
// never said it stopped, a run of read timeouts).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/outlet_names.h"

namespace kvx::history {

struct JournalEvent {
  std::int64_t unixMs = 0;
  std::string cause;  // a cause name (GapCauseText), empty for an event that explains nothing
};

// The events of `serial` (and those of no strip: starts and stops) of the
// journal in `directory`, in file order, with their causes. A missing journal
// gives none; a line that does not parse is skipped.
std::vector<JournalEvent> ReadJournalCauses(const std::string& directory, std::uint32_t serial);

// The causes of no records from `fromMs` to `toMs`: those of the events in
// [fromMs, toMs] that tell one, in order, each once, joined by commas
// ("stall,not_running": a stall, then the client stopped); else "unknown".
std::string CauseBetween(const std::vector<JournalEvent>& events, std::int64_t fromMs, std::int64_t toMs);

// The outlets' names of the strip's latest connection_started that has them
// (none: all empty).
OutletNames ReadJournalOutletNames(const std::string& directory, std::uint32_t serial);

// "2026-12-08T11:07:03.096+01:00" as Unix milliseconds; -1 when malformed.
std::int64_t ParseJournalTime(const std::string& text);

// The words a chart shows for a cause name (or several, joined by commas), in
// the window's language.
std::string GapCauseText(const std::string& cause);

}  // namespace kvx::history
