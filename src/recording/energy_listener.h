// The energy ledger as a listener of the acquisition thread: it integrates
// the summary power readings of the connected strip per outlet and per local
// clock hour and keeps them in the strip's ledger (energy_ledger.h).
//
// What counts: the trapezoid between two power readings of the same
// connection at most MAX_GAP_MS apart. Anything else is unmeasured time and
// ends the chain: a current reading, the waveform view, a series break, the
// end of the connection, a longer gap, the client not running. Nothing is
// estimated from current and voltage. An interval that spans an hour's end is
// split at it (the power taken as linear in between). Every stretch of
// unmeasured time counts as one gap in the hour it began.
//
// Writing: the finished hour is committed when a reading of the next hour
// comes, at a change of strip and at Finish (a clean stop); the hour in
// progress is saved in the state file every SAVE_PERIOD_MS of readings, as if
// the process stopped then, so a kill loses at most that much measured time
// (which the ledger then shows as unmeasured). Files are written only while
// the Log box is checked, like every other record; a failed write is said
// once per episode and its rows are kept and written with the next commit.
//
// Totals: the figures (energy and measured time since the ledger began, the
// energy of today) are restored from the ledger when a strip connects. The
// totals others see (the metrics counters) move only when the rows behind
// them are on disk, and each run's rows are rounded up to the next whole
// micro-watt-hour, plus one, so no restart, not even after a kill, ever shows
// a total lower than one shown before.
//
// Threads: events on the acquisition thread; Figures and Failure from any
// thread; Finish after the acquisition thread has ended.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "acquisition/control_model.h"
#include "acquisition/listener.h"
#include "recording/energy_ledger.h"

namespace kvx::recording {

struct EnergyFigures {
  std::uint32_t serial = 0;
  std::array<double, 4> joules{};           // since the ledger began, on disk
  std::array<double, 4> measuredSeconds{};  // likewise
  double createdUnixSeconds = 0.0;          // when the ledger began (its first hour), or this run did
  std::int64_t todayDay = 0;                // the local day (days since 1970-01-01) of `todayWh`
  std::array<double, 4> todayWh{};          // measured on that day, up to the latest reading
  bool measuring = false;                   // power readings are being integrated now
};

class EnergyListener final : public AcquisitionListener {
 public:
  static constexpr std::uint32_t MAX_GAP_MS = 5000;
  static constexpr std::uint32_t SAVE_PERIOD_MS = 30000;
  using FailureFunction = std::function<void(const std::string& message)>;

  // `controls` (the Log box) outlives the listener. `savePeriodMs` is for
  // tests (0: the state is saved at every reading).
  EnergyListener(const ControlModel& controls, std::string directory, FailureFunction onFailure = {},
                 std::uint32_t savePeriodMs = SAVE_PERIOD_MS);
  ~EnergyListener() override;  // Finish()

  void OnConnectionOpened(const ConnectionOpenedEvent& event) override;
  void OnSummaryReading(const SummaryReadingEvent& event) override;
  void OnWaveformValue(const WaveformValueEvent& /*event*/) override { EndChain(); }
  void OnSeriesBreak(const SeriesBreakEvent& /*event*/) override { EndChain(); }
  void OnConnectionEnded(const ConnectionEndedEvent& /*event*/) override { EndChain(); }

  // Ends the chain and commits the hour in progress (a clean stop). Repeatable.
  void Finish();

  std::optional<EnergyFigures> Figures(std::uint32_t serial) const;
  // The latest failure to write the ledger, empty while it works.
  std::string Failure() const;

 private:
  struct Hour {
    std::int64_t start = 0;  // Unix seconds
    long utcOffsetSec = 0;
    std::array<OutletEnergy, 4> outlets{};  // gaps and power extremes; energy and time come from the run's sums
    std::array<std::int64_t, 4> baseMicroWh{};  // the run's row energy before this hour
    std::array<std::int64_t, 4> baseMs{};
    bool sawReadings = false;  // the client was there: the hour gets rows, measured or not
    LocalTime key{};           // its local fields (minutes and below zero), to know a reading of it without timegm
    std::array<double, 4>* dayWh = nullptr;  // the entry of its day in dayWh_
  };

  void OpenStrip(std::uint32_t serial);
  void CloseStrip();
  void Integrate(std::uint32_t elapsedMs, std::int64_t endUnixMs, std::int64_t hourStart,
                 const SummaryReadingEvent& event);
  void AddPart(std::uint32_t ms, const std::array<double, 4>& from, const std::array<double, 4>& to);
  void RollTo(std::int64_t hourStart, const LocalTime& time);
  void EndChain();
  // The rows of the hour in progress; `asIfStopped` counts an open chain's end as a gap.
  std::string HourRows(bool asIfStopped) const;
  void Commit(std::string rows);
  void SaveState(std::uint32_t tick);
  void Published();
  void Written();
  void Failed(int error, const std::string& what);
  bool LoggingOn() const;

  const ControlModel& controls_;
  const std::string directory_;
  const FailureFunction onFailure_;
  const std::uint32_t savePeriodMs_;

  // Acquisition thread only.
  std::uint32_t serial_ = 0;
  OutletNames names_;  // the connection's, for the rows' name column
  std::optional<LedgerFiles> files_;
  std::optional<Hour> hour_;
  std::string pending_;                      // committed rows not yet in the file
  std::array<std::int64_t, 4> restoredMicroWh_{};
  std::array<std::int64_t, 4> restoredMs_{};
  double createdUnixSeconds_ = 0.0;
  std::map<std::int64_t, std::array<double, 4>> dayWh_;  // local day -> Wh (restored and this run)
  std::array<double, 4> runJoules_{};        // this run, exact
  std::array<std::int64_t, 4> runMs_{};
  std::array<double, 4> savedJoules_{};      // of runJoules_, what the file holds
  std::array<std::int64_t, 4> savedMs_{};
  bool chain_ = false;                       // a power reading starts or continues a chain
  bool chainMeasured_ = false;               // the chain measured time
  std::uint32_t previousTick_ = 0;
  std::array<double, 4> previousWatts_{};
  std::uint32_t lastSaveTick_ = 0;
  bool saveTickSet_ = false;

  mutable std::mutex mutex_;  // guards the two below
  EnergyFigures figures_;
  std::string failure_;
};

}  // namespace kvx::recording
