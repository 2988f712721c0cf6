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

// What the journal in `directory` says of `serial`: its events (and those of
// no strip: starts and stops), in file order, with their causes, and the
// outlets' names of its latest connection_started that has them (none: all
// empty). One pass over the file; a missing journal gives nothing, a line
// that does not parse is skipped.
struct JournalFacts {
  std::vector<JournalEvent> events;
  OutletNames outletNames;
};
JournalFacts ReadJournal(const std::string& directory, std::uint32_t serial);

// The causes of no records from `fromMs` to `toMs`: those of the events in
// [fromMs, toMs] that tell one, in order, each once, joined by commas
// ("stall,not_running": a stall, then the client stopped); else "unknown".
std::string CauseBetween(const std::vector<JournalEvent>& events, std::int64_t fromMs, std::int64_t toMs);

// The words a chart shows for a cause name (or several, joined by commas), in
// the window's language.
std::string GapCauseText(const std::string& cause);

}  // namespace kvx::history
