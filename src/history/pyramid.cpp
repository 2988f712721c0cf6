#include "history/pyramid.h"

#include <algorithm>

namespace kvx::history {

namespace {

// Floor division: the bucket of a moment before 1970 too.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

std::int64_t UsualSpacing(std::vector<std::int64_t> spacing, std::int64_t least) {
  if (spacing.empty()) return least;
  const auto quartile = spacing.begin() + static_cast<std::ptrdiff_t>(spacing.size() / 4);
  std::nth_element(spacing.begin(), quartile, spacing.end());
  return std::max(least, *quartile);
}

void Bucket::Add(float value) {
  min = count == 0 ? value : std::min(min, value);
  max = count == 0 ? value : std::max(max, value);
  sum += value;
  ++count;
}

std::int64_t Pyramid::WidthMs(int level) {
  std::int64_t width = BASE_MS;
  for (int k = 0; k < level; ++k) width *= FANOUT;
  return width;
}

void Pyramid::Add(std::int64_t unixMs, float value) {
  for (int level = 0; level < LEVELS; ++level) {
    Store& store = levels_[static_cast<std::size_t>(level)];
    const std::int64_t width = WidthMs(level);
    const std::int64_t index = FloorDiv(unixMs, width);
    // Level 0 keeps the retention; each level above two buckets more, so that
    // it begins no later than the level below and every reading one level
    // holds, the levels above hold too (their counts add up).
    const std::int64_t keep = retentionS_ * 1000 / width + (level == 0 ? 0 : 2);
    const auto end = store.first + static_cast<std::int64_t>(store.buckets.size());
    // Empty, or a jump past everything held (a clock set years ahead): start afresh.
    if (store.buckets.empty() || index - end >= keep) {
      store.buckets.clear();
      store.first = index;
    }
    if (index < store.first) {
      // Older than what level 0 holds (so than what any level holds): dropped.
      ++dropped_;
      return;
    }
    const auto last = store.first + static_cast<std::int64_t>(store.buckets.size());
    if (index >= last) store.buckets.resize(store.buckets.size() + static_cast<std::size_t>(index - last + 1));
    store.buckets[static_cast<std::size_t>(index - store.first)].Add(value);
    // Whole buckets older than the retention go.
    while (static_cast<std::int64_t>(store.buckets.size()) > std::max<std::int64_t>(1, keep)) {
      store.buckets.pop_front();
      ++store.first;
    }
  }
}

Slice Pyramid::Level(int level, std::int64_t fromMs, std::int64_t toMs) const {
  level = std::clamp(level, 0, LEVELS - 1);
  const Store& store = levels_[static_cast<std::size_t>(level)];
  Slice slice;
  slice.widthMs = WidthMs(level);
  const std::int64_t from = FloorDiv(fromMs, slice.widthMs);
  const std::int64_t to = std::max(from, FloorDiv(toMs - 1, slice.widthMs) + 1);
  slice.startMs = from * slice.widthMs;
  slice.buckets.resize(static_cast<std::size_t>(to - from));
  const std::int64_t end = store.first + static_cast<std::int64_t>(store.buckets.size());
  for (std::int64_t i = std::max(from, store.first); i < std::min(to, end); ++i)
    slice.buckets[static_cast<std::size_t>(i - from)] = store.buckets[static_cast<std::size_t>(i - store.first)];
  return slice;
}

Slice Pyramid::Range(std::int64_t fromMs, std::int64_t toMs, std::size_t maxBuckets) const {
  // The buckets a level needs over the range, its grid's alignment included.
  const auto needed = [&](int level) {
    const std::int64_t width = WidthMs(level);
    return std::max<std::int64_t>(1, FloorDiv(toMs - 1, width) - FloorDiv(fromMs, width) + 1);
  };
  int level = 0;
  while (level < LEVELS - 1 && needed(level) > static_cast<std::int64_t>(maxBuckets)) ++level;
  return Level(level, fromMs, toMs);
}

double Pyramid::SumOver(std::int64_t fromMs, std::int64_t toMs, std::uint64_t& count) const {
  double sum = 0;
  const auto seconds = [&](std::int64_t from, std::int64_t to) {
    VisitSeconds(from, to, [&](std::int64_t, const Bucket& bucket) {
      sum += bucket.sum;
      count += bucket.count;
      return true;
    });
  };
  fromMs = (fromMs + BASE_MS - 1) / BASE_MS * BASE_MS;  // the seconds that start in the range
  toMs = (toMs + BASE_MS - 1) / BASE_MS * BASE_MS;
  if (toMs <= fromMs) return 0;
  const Slice slice = Range(fromMs, toMs, 4096);
  if (slice.widthMs == BASE_MS) {
    seconds(fromMs, toMs);
    return sum;
  }
  for (std::size_t i = 0; i < slice.buckets.size(); ++i) {
    const std::int64_t start = slice.startMs + static_cast<std::int64_t>(i) * slice.widthMs;
    if (start >= fromMs && start + slice.widthMs <= toMs) {
      sum += slice.buckets[i].sum;
      count += slice.buckets[i].count;
    } else {
      seconds(std::max(start, fromMs), std::min(start + slice.widthMs, toMs));
    }
  }
  return sum;
}

std::int64_t Pyramid::FirstMs() const { return empty() ? 0 : levels_[0].first * BASE_MS; }

std::int64_t Pyramid::EndMs() const {
  return empty() ? 0 : (levels_[0].first + static_cast<std::int64_t>(levels_[0].buckets.size())) * BASE_MS;
}

std::size_t Pyramid::MemoryBytes() const {
  std::size_t bytes = sizeof(*this);
  for (const Store& store : levels_) bytes += store.buckets.size() * sizeof(Bucket);
  return bytes;
}

}  // namespace kvx::history
