// What the benchmarks of acquisition listeners measure against: the CPU of
// the thread that calls them, and the floor every listener read by another
// thread has to pay, keeping a reading's values under a lock.
#pragma once

#include <time.h>

#include <array>
#include <cstdint>
#include <mutex>

namespace kvx::bench {

inline double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Microseconds of CPU per reading to keep `readings` readings' values under a lock.
inline double LockedKeepFloorUs(int readings) {
  struct Kept {
    std::mutex mutex;
    std::array<double, 4> values{};
    std::uint64_t readings = 0;
  } kept;
  const double start = ThreadCpuSeconds();
  for (int i = 0; i < readings; ++i) {
    const std::array<double, 4> values = {1200, 150, 0, static_cast<double>(i)};
    std::lock_guard lock(kept.mutex);
    kept.values = values;
    ++kept.readings;
  }
  return (ThreadCpuSeconds() - start) / readings * 1e6;
}

}  // namespace kvx::bench
