// Turns what the acquisition thread reports into metrics snapshots: counters
// per strip (carried on across reconnects and across the thread's own
// counters), the connected strip's latest values, and the energy ledger's totals.
// Every call runs on the acquisition thread and changes the board's snapshot
// in place under its lock; a scrape copies it once, when it asks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "acquisition/listener.h"
#include "metrics/snapshot.h"

namespace kvx::metrics {

struct LogFacts {
  bool failing = false;
  std::uint64_t recordsWritten = 0;
};

class MetricsCollector final : public AcquisitionListener {
 public:
  using EnergyFunction = std::function<std::optional<EnergyTotals>(std::uint32_t serial)>;
  // `logFacts` is asked after each summary reading (the recorder has just
  // handled it), `energy` (none: no energy figures) likewise for the strip's
  // ledger totals. The time of a reading is the one its event carries.
  MetricsCollector(MetricsBoard& board, std::function<LogFacts()> logFacts, EnergyFunction energy = {});

  void OnConnectionOpened(const ConnectionOpenedEvent& event) override;
  void OnSummaryReading(const SummaryReadingEvent& reading) override;
  void OnWaveformValue(const WaveformValueEvent& event) override;
  void OnStatus(const AcquisitionStatus& status) override;


 private:
  StripMetrics* LiveStrip(MetricsSnapshot& working);

  MetricsBoard& board_;
  std::function<LogFacts()> logFacts_;
  EnergyFunction energy_;
  std::uint32_t identifiedSerial_ = 0;   // the latest connection's strip
  AcquisitionStatus previous_;           // the thread's counters as last seen
  std::uint64_t refreshesAtConnection_ = 0;
};

}  // namespace kvx::metrics
