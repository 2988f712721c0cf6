#include "history/history_store.h"

#include <algorithm>
#include <cmath>

namespace kvx::history {

void HistoryStore::OnConnectionOpened(const ConnectionOpenedEvent& event) {
  connectionSerial_ = event.identity.connectionSerial;
}

void HistoryStore::OnConnectionEnded(const ConnectionEndedEvent& event) {
  std::lock_guard lock(mutex_);
  StripState& strip = strips_[connectionSerial_];
  if (strip.lastMs == 0) return;
  strip.endedBecause = ConnectionEndName(event.end);
  gaps_[connectionSerial_].push_back(Gap{strip.lastMs, 0, *strip.endedBecause});
}

void HistoryStore::OnSummaryReading(const SummaryReadingEvent& event) {
  if (connectionSerial_ == 0) return;
  const auto unixMs = static_cast<std::int64_t>(std::llround(UnixSeconds(event.time) * 1000.0));
  Add(connectionSerial_, event.power, unixMs, event.values);
}

void HistoryStore::Add(std::uint32_t serial, bool power, std::int64_t unixMs, const std::array<double, 4>& values,
                       bool stalls) {
  std::lock_guard lock(mutex_);
  for (int outlet = 1; outlet <= 4; ++outlet) {
    auto [it, added] = series_.try_emplace(SeriesKey{serial, power, outlet}, retentionS_);
    it->second.Add(unixMs, static_cast<float>(values[static_cast<std::size_t>(outlet - 1)]));
  }
  if (!stalls) return;  // loaded records: their gaps come with them
  StripState& strip = strips_[serial];
  std::vector<Gap>& gaps = gaps_[serial];
  if (strip.endedBecause) {
    // The gap the connection's end opened closes with this reading.
    if (!gaps.empty() && gaps.back().endMs == 0) gaps.back().endMs = unixMs;
    strip.endedBecause.reset();
  } else if (strip.lastMs != 0 && unixMs - strip.lastMs > STALL_MS) {
    gaps.push_back(Gap{strip.lastMs, unixMs, "stall"});
  }
  strip.lastMs = std::max(strip.lastMs, unixMs);
}

void HistoryStore::AddGaps(std::uint32_t serial, const std::vector<Gap>& gaps) {
  std::lock_guard lock(mutex_);
  std::vector<Gap>& kept = gaps_[serial];
  kept.insert(kept.end(), gaps.begin(), gaps.end());
  std::stable_sort(kept.begin(), kept.end(), [](const Gap& a, const Gap& b) { return a.startMs < b.startMs; });
}

Slice HistoryStore::Range(const SeriesKey& key, std::int64_t fromMs, std::int64_t toMs,
                          std::size_t maxBuckets) const {
  std::lock_guard lock(mutex_);
  const auto found = series_.find(key);
  if (found != series_.end()) return found->second.Range(fromMs, toMs, maxBuckets);
  return Pyramid(retentionS_).Range(fromMs, toMs, maxBuckets);  // all gap
}

RangeEnergy HistoryStore::Energy(std::uint32_t serial, std::int64_t fromMs, std::int64_t toMs) const {
  std::lock_guard lock(mutex_);
  std::array<const Pyramid*, 4> pyramids{};
  for (int outlet = 1; outlet <= 4; ++outlet) {
    const auto found = series_.find(SeriesKey{serial, true, outlet});
    if (found == series_.end()) return {};
    pyramids[static_cast<std::size_t>(outlet - 1)] = &found->second;
  }
  // The time a reading stands for, from up to an hour of seconds with readings.
  std::vector<std::int64_t> spacing;
  std::int64_t previous = -1;
  std::uint64_t readings = 0, secondsWithReadings = 0;
  pyramids[0]->VisitSeconds(fromMs, toMs, [&](std::int64_t startMs, const Bucket& bucket) {
    if (previous >= 0) spacing.push_back(startMs - previous);
    previous = startMs;
    readings += bucket.count;
    return ++secondsWithReadings < 3600;
  });
  RangeEnergy energy;
  if (readings == 0) return energy;
  const std::int64_t usualMs = UsualSpacing(std::move(spacing), Pyramid::BASE_MS);
  const double secondsPerReading =
      static_cast<double>(usualMs) / 1000.0 * static_cast<double>(secondsWithReadings) / static_cast<double>(readings);
  for (std::size_t k = 0; k < 4; ++k) {
    std::uint64_t count = 0;
    const double sum = pyramids[k]->SumOver(fromMs, toMs, count);
    energy.wattHours[k] = sum * secondsPerReading / 3600.0;
    if (k == 0) energy.measuredS = static_cast<double>(count) * secondsPerReading;
  }
  return energy;
}

std::vector<Gap> HistoryStore::Gaps(std::uint32_t serial) const {
  std::lock_guard lock(mutex_);
  const auto found = gaps_.find(serial);
  return found != gaps_.end() ? found->second : std::vector<Gap>{};
}

std::vector<SeriesKey> HistoryStore::Series() const {
  std::lock_guard lock(mutex_);
  std::vector<SeriesKey> keys;
  for (const auto& [key, pyramid] : series_) keys.push_back(key);
  return keys;
}

std::pair<std::int64_t, std::int64_t> HistoryStore::Held(const SeriesKey& key) const {
  std::lock_guard lock(mutex_);
  const auto found = series_.find(key);
  if (found == series_.end() || found->second.empty()) return {0, 0};
  return {found->second.FirstMs(), found->second.EndMs()};
}

std::size_t HistoryStore::MemoryBytes() const {
  std::lock_guard lock(mutex_);
  std::size_t bytes = sizeof(*this);
  for (const auto& [key, pyramid] : series_) bytes += pyramid.MemoryBytes();
  for (const auto& [serial, gaps] : gaps_) bytes += gaps.capacity() * sizeof(Gap);
  return bytes;
}

}  // namespace kvx::history
