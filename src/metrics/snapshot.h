// What the metrics endpoint shows: one immutable snapshot, replaced whole by
// the acquisition thread and read by any number of scrapes. The board swaps a
// shared pointer under a lock held only for that swap or copy, so a scrape
// never holds up acquisition and acquisition never waits for a scrape.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "device/protocol.h"

namespace kvx::metrics {

// The energy ledger's totals of one strip, per outlet: what its rows on disk
// hold, so they never go back, not even across a restart.
struct EnergyTotals {
  std::array<double, 4> joules{};
  std::array<double, 4> measuredSeconds{};
  double createdUnixSeconds = 0.0;  // when the ledger began; 0: not yet
};

// Per strip seen since start; kept after it goes away so counters stay monotonic.
struct StripMetrics {
  std::string firmware;  // "V%X.%XL%02X"
  std::array<std::string, 4> outletNames;  // as given (--outlet-names); empty: none
  bool connected = false;
  std::uint64_t readings = 0;
  std::uint64_t readingsDropped = 0;
  std::uint64_t readTimeouts = 0;
  std::uint64_t connections = 0;
  EnergyTotals energy;
  std::optional<double> lastReadingUnixSeconds;
};

enum class View { None, Summary, Waveform };

// The connected strip's latest values, in base units.
struct LiveValues {
  View view = View::None;
  bool summaryPower = false;             // summary in watts, else amperes
  std::array<double, 4> summary{};       // A or W per outlet
  std::uint8_t waveOutlet = 0;           // 1..4 in the waveform view
  bool wavePower = false;                // active power (W), else effective current (A)
  double waveValue = 0.0;
  std::optional<bool> on;                // from the latest summary reading
  protocol::LineQuantity volts{};        // invalid ones are not shown
  protocol::LineQuantity hertz{};
  protocol::LineQuantity celsius{};
};

struct MetricsSnapshot {
  std::map<std::uint32_t, StripMetrics> strips;
  std::uint32_t liveSerial = 0;  // the strip of the open connection; 0 = none
  LiveValues live;
  bool loggingFailing = false;
  std::uint64_t logRecords = 0;
};

class MetricsBoard {
 public:
  // Changes the snapshot in place (acquisition thread): `change(snapshot)`
  // runs under the board's lock and must be quick.
  template <typename Change>
  void Update(Change&& change) {
    std::lock_guard lock(mutex_);
    change(working_);
    changed_ = true;
  }
  void Publish(MetricsSnapshot snapshot) {
    Update([&](MetricsSnapshot& working) { working = std::move(snapshot); });
  }
  // The snapshot as it stands: copied once after each change, when asked
  // (a scrape, the status line), never per reading.
  std::shared_ptr<const MetricsSnapshot> Read() const {
    std::lock_guard lock(mutex_);
    if (changed_) {
      current_ = std::make_shared<const MetricsSnapshot>(working_);
      changed_ = false;
    }
    return current_;
  }

 private:
  mutable std::mutex mutex_;
  MetricsSnapshot working_;
  mutable bool changed_ = false;
  mutable std::shared_ptr<const MetricsSnapshot> current_ = std::make_shared<const MetricsSnapshot>();
};

}  // namespace kvx::metrics
