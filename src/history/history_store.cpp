#include "history/history_store.h"

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
  StripState& strip = strips_[serial];
  std::vector<Gap>& gaps = gaps_[serial];
  if (strip.endedBecause) {
    // The gap the connection's end opened closes with this reading.
    if (!gaps.empty() && gaps.back().endMs == 0) gaps.back().endMs = unixMs;
    strip.endedBecause.reset();
  } else if (stalls && strip.lastMs != 0 && unixMs - strip.lastMs > STALL_MS) {
    gaps.push_back(Gap{strip.lastMs, unixMs, "stall"});
  }
  strip.lastMs = std::max(strip.lastMs, unixMs);
  for (int outlet = 1; outlet <= 4; ++outlet) {
    auto [it, added] = series_.try_emplace(SeriesKey{serial, power, outlet}, retentionS_);
    it->second.Add(unixMs, static_cast<float>(values[static_cast<std::size_t>(outlet - 1)]));
  }
}

Slice HistoryStore::Range(const SeriesKey& key, std::int64_t fromMs, std::int64_t toMs,
                          std::size_t maxBuckets) const {
  std::lock_guard lock(mutex_);
  const auto found = series_.find(key);
  if (found != series_.end()) return found->second.Range(fromMs, toMs, maxBuckets);
  return Pyramid(retentionS_).Range(fromMs, toMs, maxBuckets);  // all gap
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

std::size_t HistoryStore::MemoryBytes() const {
  std::lock_guard lock(mutex_);
  std::size_t bytes = sizeof(*this);
  for (const auto& [key, pyramid] : series_) bytes += pyramid.MemoryBytes();
  for (const auto& [serial, gaps] : gaps_) bytes += gaps.capacity() * sizeof(Gap);
  return bytes;
}

}  // namespace kvx::history
