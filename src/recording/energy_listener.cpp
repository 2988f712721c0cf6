#include "recording/energy_listener.h"

#include <algorithm>
#include <cmath>

#include "acquisition/control_ids.h"
#include "recording/log_file.h"

namespace kvx::recording {

namespace {

constexpr double JOULES_PER_MICRO_WH = 0.0036;

// The run's energy as rows hold it: whole micro-watt-hours, rounded up and one
// more, so rows on disk never hold less than the counters have shown.
std::int64_t RowMicroWh(double joules) {
  const double microWh = joules / JOULES_PER_MICRO_WH;
  return joules > 0 ? static_cast<std::int64_t>(std::ceil(microWh)) + 1 : static_cast<std::int64_t>(std::floor(microWh));
}

}  // namespace

EnergyListener::EnergyListener(const ControlModel& controls, std::string directory, FailureFunction onFailure,
                               std::uint32_t savePeriodMs)
    : controls_(controls),
      directory_(directory.empty() ? "." : std::move(directory)),
      onFailure_(std::move(onFailure)),
      savePeriodMs_(savePeriodMs) {}

EnergyListener::~EnergyListener() { Finish(); }

bool EnergyListener::LoggingOn() const { return controls_.IsChecked(ids::LOG_CHECK); }

void EnergyListener::OnConnectionOpened(const ConnectionOpenedEvent& event) {
  EndChain();
  if (event.identity.connectionSerial != serial_) OpenStrip(event.identity.connectionSerial);
  names_ = event.identity.outletNames;
}

void EnergyListener::OpenStrip(std::uint32_t serial) {
  CloseStrip();
  serial_ = serial;
  files_.emplace(directory_, serial);
  // A state file left by a run that was killed is finished first.
  if (const int error = files_->Recover()) Failed(error, "recover " + files_->LedgerPath());
  const LedgerContents contents = ReadLedger(files_->LedgerPath());
  if (!contents.error.empty() && onFailure_) onFailure_("kvxclient: energy ledger: " + contents.error);
  restoredMicroWh_ = {};
  restoredMs_ = {};
  dayWh_.clear();
  createdUnixSeconds_ = 0.0;
  for (const LedgerRow& row : contents.rows) {
    if (row.serial != serial) continue;
    const auto k = static_cast<std::size_t>(row.outlet - 1);
    restoredMicroWh_[k] += row.energy.microWh;
    restoredMs_[k] += row.energy.measuredMs;
    dayWh_[LocalDay(row.hourStart, row.utcOffsetSec)][k] += static_cast<double>(row.energy.microWh) / 1e6;
    const auto start = static_cast<double>(row.hourStart);
    if (createdUnixSeconds_ == 0.0 || start < createdUnixSeconds_) createdUnixSeconds_ = start;
  }
  Published();
}

void EnergyListener::CloseStrip() {
  Finish();
  pending_.clear();  // rows that could not be written by now (logging off, a failing disk) are given up
  runJoules_ = {};
  runMs_ = {};
  savedJoules_ = {};
  savedMs_ = {};
  saveTickSet_ = false;
}

void EnergyListener::OnSummaryReading(const SummaryReadingEvent& event) {
  if (serial_ == 0) return;
  const LocalTime& t = event.time;
  // Within the hour in progress the moment follows from its start (timegm once an hour).
  const bool sameHour = hour_ && hour_->key.hour == t.hour && hour_->key.day == t.day && hour_->key.month == t.month &&
                        hour_->key.year == t.year && hour_->key.utcOffsetSec == t.utcOffsetSec;
  LocalTime top = t;
  top.minute = top.second = top.millisecond = 0;
  const std::int64_t hourStart = sameHour ? hour_->start : static_cast<std::int64_t>(UnixSeconds(top));
  const std::int64_t unixMs = (hourStart + t.minute * 60 + t.second) * 1000 + t.millisecond;
  const double unixSeconds = static_cast<double>(unixMs) / 1000.0;
  if (createdUnixSeconds_ == 0.0) createdUnixSeconds_ = unixSeconds;
  if (event.power && chain_ && event.tick - previousTick_ <= MAX_GAP_MS) {
    Integrate(event.tick - previousTick_, unixMs, hourStart, event);
  } else {
    EndChain();
  }
  RollTo(hourStart, event.time);
  hour_->sawReadings = true;
  if (event.power) {
    for (std::size_t k = 0; k < 4; ++k) hour_->outlets[k].SeePower(event.values[k]);
    chain_ = true;
    previousTick_ = event.tick;
    previousWatts_ = event.values;
  }
  SaveState(event.tick);
  std::lock_guard lock(mutex_);
  figures_.todayDay = LocalDay(hour_->start, hour_->utcOffsetSec);
  figures_.todayWh = *hour_->dayWh;
  figures_.measuring = chain_;
}

void EnergyListener::Integrate(std::uint32_t elapsedMs, std::int64_t endUnixMs, std::int64_t hourStart,
                               const SummaryReadingEvent& event) {
  const std::int64_t boundaryMs = hourStart * 1000;
  const std::int64_t startMs = endUnixMs - elapsedMs;
  if (hour_ && hour_->start < hourStart && startMs < boundaryMs && elapsedMs > 0) {
    // The interval spans the hour's end: each hour gets its share.
    const double fraction = std::clamp(static_cast<double>(boundaryMs - startMs) / elapsedMs, 0.0, 1.0);
    std::array<double, 4> middle{};
    for (std::size_t k = 0; k < 4; ++k)
      middle[k] = previousWatts_[k] + (event.values[k] - previousWatts_[k]) * fraction;
    const auto before = static_cast<std::uint32_t>(std::llround(elapsedMs * fraction));
    AddPart(before, previousWatts_, middle);
    RollTo(hourStart, event.time);
    AddPart(elapsedMs - before, middle, event.values);
    return;
  }
  RollTo(hourStart, event.time);
  AddPart(elapsedMs, previousWatts_, event.values);
}

void EnergyListener::AddPart(std::uint32_t ms, const std::array<double, 4>& from, const std::array<double, 4>& to) {
  std::array<double, 4>& day = *hour_->dayWh;
  for (std::size_t k = 0; k < 4; ++k) {
    const double joules = (from[k] + to[k]) * 0.5 * (ms / 1000.0);
    runJoules_[k] += joules;
    runMs_[k] += ms;
    day[k] += joules / 3600.0;
  }
  chainMeasured_ = chainMeasured_ || ms > 0;
}

void EnergyListener::RollTo(std::int64_t hourStart, const LocalTime& time) {
  if (hour_ && hour_->start == hourStart && hour_->utcOffsetSec == time.utcOffsetSec) return;
  if (hour_) Commit(HourRows(false));
  Hour next;
  next.start = hourStart;
  next.utcOffsetSec = time.utcOffsetSec;
  next.key = time;
  next.key.minute = next.key.second = next.key.millisecond = 0;
  next.dayWh = &dayWh_[LocalDay(hourStart, time.utcOffsetSec)];
  for (std::size_t k = 0; k < 4; ++k) {
    next.baseMicroWh[k] = RowMicroWh(runJoules_[k]);
    next.baseMs[k] = runMs_[k];
  }
  hour_ = next;
}

void EnergyListener::EndChain() {
  if (chain_ && chainMeasured_ && hour_)
    for (OutletEnergy& outlet : hour_->outlets) ++outlet.gaps;
  chain_ = false;
  chainMeasured_ = false;
  std::lock_guard lock(mutex_);
  figures_.measuring = false;
}

std::string EnergyListener::HourRows(bool asIfStopped) const {
  if (!hour_) return {};
  std::array<LedgerRow, 4> rows{};
  bool any = hour_->sawReadings;
  for (std::size_t k = 0; k < 4; ++k) {
    LedgerRow& row = rows[k];
    row.hourStart = hour_->start;
    row.utcOffsetSec = hour_->utcOffsetSec;
    row.serial = serial_;
    row.outlet = static_cast<int>(k + 1);
    row.name = names_[k];
    row.energy = hour_->outlets[k];
    row.energy.microWh = RowMicroWh(runJoules_[k]) - hour_->baseMicroWh[k];
    row.energy.measuredMs = runMs_[k] - hour_->baseMs[k];
    // A chain still open when the process dies ends there: a gap (it measures
    // on after this save, so its end is one even if it has measured nothing yet).
    if (asIfStopped && chain_) ++row.energy.gaps;
    any = any || !row.energy.Empty();
  }
  std::string text;
  if (any)
    for (const LedgerRow& row : rows) text += FormatLedgerRow(row);
  return text;
}

void EnergyListener::Commit(std::string rows) {
  pending_ += rows;
  if (!LoggingOn() || !files_ || pending_.empty()) return;
  if (const int error = files_->Commit(pending_)) return Failed(error, "write " + files_->LedgerPath());
  pending_.clear();
  Written();
}

void EnergyListener::SaveState(std::uint32_t tick) {
  if (!LoggingOn() || !files_) return;
  if (saveTickSet_ && tick - lastSaveTick_ < savePeriodMs_) return;
  saveTickSet_ = true;
  lastSaveTick_ = tick;
  if (const int error = files_->SaveState(pending_ + HourRows(true)))
    return Failed(error, "save " + files_->LedgerPath());
  Written();
}

// What the run measured so far is on disk: the counters may show it.
void EnergyListener::Written() {
  savedJoules_ = runJoules_;
  savedMs_ = runMs_;
  Published();
  std::lock_guard lock(mutex_);
  failure_.clear();
}

void EnergyListener::Finish() {
  EndChain();
  if (!hour_) return;
  Commit(HourRows(false));
  hour_.reset();
}

void EnergyListener::Published() {
  std::lock_guard lock(mutex_);
  figures_.serial = serial_;
  for (std::size_t k = 0; k < 4; ++k) {
    figures_.joules[k] = static_cast<double>(restoredMicroWh_[k]) * JOULES_PER_MICRO_WH + savedJoules_[k];
    figures_.measuredSeconds[k] = static_cast<double>(restoredMs_[k] + savedMs_[k]) / 1000.0;
  }
  figures_.createdUnixSeconds = createdUnixSeconds_;
}

void EnergyListener::Failed(int error, const std::string& what) {
  const std::string message = "kvxclient: energy ledger: " + DescribeError(what.substr(0, what.find(' ')),
                                                                          what.substr(what.find(' ') + 1), error) +
                              "; its rows are kept and written once it works again";
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    first = failure_.empty();
    failure_ = message;
  }
  if (first && onFailure_) onFailure_(message);
}

std::optional<EnergyFigures> EnergyListener::Figures(std::uint32_t serial) const {
  std::lock_guard lock(mutex_);
  if (figures_.serial != serial || serial == 0) return std::nullopt;
  return figures_;
}

std::string EnergyListener::Failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

}  // namespace kvx::recording
