// One series of readings (one outlet's current or power of one strip) kept
// as a pyramid of buckets: level 0 holds one bucket per second of wall-clock
// time, each level above one per FANOUT buckets of the level below. Every
// reading updates its bucket on every level, so a bucket always holds the
// minimum, maximum, sum and count of all readings that fell in it: a spike of
// one reading keeps its full height at every level, and a chart that asks
// for fewer buckets than seconds gets a coarser level, never samples.
// A bucket with count 0 is a gap, and nothing bridges it.
//
// Memory: each level keeps the latest RETENTION_S seconds (16 bytes a bucket,
// gaps included), so a series costs at most 16 x RETENTION_S x (1 + 1/7)
// bytes: 44 MB for 7 days and 4 outlets.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace kvx::history {

struct Bucket {
  float min = 0.0f;
  float max = 0.0f;
  float sum = 0.0f;
  std::uint32_t count = 0;  // 0: no reading fell in it (a gap)

  double Mean() const { return count != 0 ? static_cast<double>(sum) / count : 0.0; }
  void Add(float value);
};

// Buckets of one width over a stretch of time, the first starting at `startMs`.
struct Slice {
  std::int64_t startMs = 0;
  std::int64_t widthMs = 0;
  std::vector<Bucket> buckets;
};

// The usual time between two readings of a series, from the spacings seen:
// their lower quartile, at least `least`. The quartile, not the median, so
// that a short stretch cut by several gaps (fewer spacings of the record
// interval than gaps) still finds the interval.
std::int64_t UsualSpacing(std::vector<std::int64_t> spacing, std::int64_t least);

class Pyramid {
 public:
  static constexpr int LEVELS = 8;
  static constexpr std::int64_t FANOUT = 8;
  static constexpr std::int64_t BASE_MS = 1000;
  static constexpr std::int64_t RETENTION_S = 7 * 24 * 3600;

  explicit Pyramid(std::int64_t retentionS = RETENTION_S) : retentionS_(retentionS) {}

  // A reading at Unix time `unixMs`. One older than what the pyramid still
  // holds is dropped (counted); one older than the latest but still held goes
  // into its bucket.
  void Add(std::int64_t unixMs, float value);

  // The buckets over [fromMs, toMs) at the finest level that needs at most
  // `maxBuckets` of them (the coarsest when none does); aligned to that
  // level's bucket grid, so the first may begin before `fromMs`.
  Slice Range(std::int64_t fromMs, std::int64_t toMs, std::size_t maxBuckets) const;
  // The buckets of one level over [fromMs, toMs).
  Slice Level(int level, std::int64_t fromMs, std::int64_t toMs) const;
  // Each held bucket of level 0 with readings that starts in [fromMs, toMs),
  // with its start, in time order, without copying the level; the visit
  // returns false to stop.
  template <typename Visitor>
  void VisitSeconds(std::int64_t fromMs, std::int64_t toMs, Visitor&& visit) const {
    const Store& store = levels_[0];
    const std::int64_t end = store.first + static_cast<std::int64_t>(store.buckets.size());
    const std::int64_t from = std::max(store.first, (fromMs + BASE_MS - 1) / BASE_MS);
    for (std::int64_t i = from; i < std::min(end, (toMs + BASE_MS - 1) / BASE_MS); ++i) {
      const Bucket& bucket = store.buckets[static_cast<std::size_t>(i - store.first)];
      if (bucket.count != 0 && !visit(i * BASE_MS, bucket)) return;
    }
  }
  // The sum and the count of the readings in the seconds that start in
  // [fromMs, toMs): whole buckets of the coarsest level that fits at most
  // 4096 of them, level 0 at the two ends, so a week costs a few thousand
  // buckets and is exact all the same.
  double SumOver(std::int64_t fromMs, std::int64_t toMs, std::uint64_t& count) const;

  bool empty() const { return levels_[0].buckets.empty(); }
  std::int64_t FirstMs() const;  // the start of the oldest bucket held (0 when empty)
  std::int64_t EndMs() const;    // the end of the newest bucket held (0 when empty)
  std::size_t MemoryBytes() const;
  std::uint64_t dropped() const { return dropped_; }

 private:
  struct Store {
    std::int64_t first = 0;  // the bucket index (Unix time / width) of buckets.front()
    std::deque<Bucket> buckets;
  };
  static std::int64_t WidthMs(int level);

  std::int64_t retentionS_;
  std::array<Store, LEVELS> levels_{};
  std::uint64_t dropped_ = 0;
};

}  // namespace kvx::history
