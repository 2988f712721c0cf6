// The history of the strips as the acquisition thread saw it: every accepted
// summary reading of every outlet, in one pyramid per strip, quantity and
// outlet (pyramid.h), and the stretches without readings, each with its
// cause when the thread told one (the connection's end: unplugged, read
// failure, another strip selected, stop; else a stall). A listener of the
// acquisition events; a chart reads it from any thread.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/listener.h"
#include "history/pyramid.h"

namespace kvx::history {

struct SeriesKey {
  std::uint32_t serial = 0;
  bool power = false;  // W, else mA
  int outlet = 1;      // 1..4
  auto operator<=>(const SeriesKey&) const = default;
};

// No readings from `startMs` (the last reading before) to `endMs` (the first
// after; 0 while none came yet).
struct Gap {
  std::int64_t startMs = 0;
  std::int64_t endMs = 0;
  std::string cause;  // "unplugged", "read_failure", "selection_changed", "stop", "stall", or
                      // one of the journal's (journal_causes.h); GapCauseText gives the words
};

// The energy of a strip's four outlets over a stretch, from its power
// readings: each reading counts for the usual time per reading (the usual
// spacing (UsualSpacing) of the seconds with readings over their mean count,
// learnt from the stretch's first hour of readings), so a gap counts nothing and a
// stretch of any length costs a few thousand buckets. Nothing is estimated
// from current.
struct RangeEnergy {
  std::array<double, 4> wattHours{};
  double measuredS = 0;  // 0: no power reading in the stretch
};

class HistoryStore final : public AcquisitionListener {
 public:
  // Readings further apart than this, without a connection's end between
  // them, are a stall.
  static constexpr std::int64_t STALL_MS = 5000;

  explicit HistoryStore(std::int64_t retentionS = Pyramid::RETENTION_S) : retentionS_(retentionS) {}

  void OnConnectionOpened(const ConnectionOpenedEvent& event) override;
  void OnSummaryReading(const SummaryReadingEvent& event) override;
  void OnConnectionEnded(const ConnectionEndedEvent& event) override;

  // A reading at Unix time `unixMs`. `stalls`: a live reading, which makes a
  // gap when it comes more than STALL_MS after the one before; loaded records
  // (stalls false) leave the live state alone: the loader finds their gaps.
  void Add(std::uint32_t serial, bool power, std::int64_t unixMs, const std::array<double, 4>& values,
           bool stalls = true);

  // Gaps found elsewhere (loaded logs), kept in time order with the others.
  void AddGaps(std::uint32_t serial, const std::vector<Gap>& gaps);

  Slice Range(const SeriesKey& key, std::int64_t fromMs, std::int64_t toMs, std::size_t maxBuckets) const;
  RangeEnergy Energy(std::uint32_t serial, std::int64_t fromMs, std::int64_t toMs) const;
  std::vector<Gap> Gaps(std::uint32_t serial) const;
  std::vector<SeriesKey> Series() const;
  // The start of the oldest and the end of the newest second held of a series (0, 0: none).
  std::pair<std::int64_t, std::int64_t> Held(const SeriesKey& key) const;
  std::size_t MemoryBytes() const;

 private:
  struct StripState {
    std::int64_t lastMs = 0;                 // the latest reading (0: none yet)
    std::optional<std::string> endedBecause;  // the connection ended since it
  };

  const std::int64_t retentionS_;
  mutable std::mutex mutex_;
  std::map<SeriesKey, Pyramid> series_;
  std::map<std::uint32_t, std::vector<Gap>> gaps_;
  std::map<std::uint32_t, StripState> strips_;
  std::uint32_t connectionSerial_ = 0;  // acquisition thread only
};

}  // namespace kvx::history
