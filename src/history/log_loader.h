// Loading the past into a history store: the CSV logs of one strip in a log
// directory (current and power files, any split, files of earlier runs), each
// whole record line as one reading of its time. A line without its CR LF (the
// last one of a file whose writer was killed) or that does not parse is
// skipped and counted, never guessed at. The stretches without records become
// the store's gaps, each with its cause from the event journal beside the logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "acquisition/outlet_names.h"
#include "history/history_store.h"

namespace kvx::history {

struct LoadResult {
  std::size_t files = 0;
  std::size_t records = 0;
  std::size_t skippedLines = 0;  // torn or malformed
  std::size_t gaps = 0;
  OutletNames outletNames;       // the journal's latest for the strip (none: all empty)
  std::string error;             // the directory cannot be read
};

// A CSV log's file name as the recorder gives it ("1A2B3_ALL_W_20261208_...csv"):
// its strip and whether it holds power; nullopt for any other name.
struct LogFileName {
  std::uint32_t serial = 0;
  bool power = false;
};
std::optional<LogFileName> ParseLogFileName(const std::string& name);

// Files done of files to do, after each file.
using LoadProgress = std::function<void(std::size_t done, std::size_t total)>;

// Reads every "<serial>_ALL_A_*.csv" and "<serial>_ALL_W_*.csv" of
// `directory` in name (so time) order into `store`, records before `beforeMs`
// only (a running client passes its first live reading, so nothing counts
// twice). Record times are local time without an offset: they are taken in
// the process's time zone. Two records further apart than twice the usual
// spacing (UsualSpacing) and a second are a gap; so is the stretch from the
// last record to `beforeMs`.
LoadResult LoadLogDirectory(HistoryStore& store, const std::string& directory, std::uint32_t serial,
                            const LoadProgress& progress = {}, std::int64_t beforeMs = INT64_MAX);

}  // namespace kvx::history
