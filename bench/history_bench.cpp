// The history store holding 7 days of summary readings at 4 a second for 4
// outlets: its memory against the 64 MB it may use, the CPU per reading, and
// the time to take 1000 buckets (a chart's width) out of it at zooms from
// 10 minutes to the whole week, against copying that many buckets.
//   kvx_history_bench [DAYS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "history/history_store.h"
#include "listener_floor.h"
#include "verdict.h"

namespace {

using namespace kvx;
using SteadyClock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const double days = argc > 1 ? std::atof(argv[1]) : 7.0;
  const std::int64_t t0 = 1796716800000;
  const auto readings = static_cast<std::int64_t>(days * 24 * 3600 * 4);
  history::HistoryStore store;
  const double cpu0 = bench::ThreadCpuSeconds();
  for (std::int64_t i = 0; i < readings; ++i) {
    const double w = 1200.0 + static_cast<double>(i % 13);
    store.Add(0x1A2B3, true, t0 + i * 250, {w, 150.0, (i / 16000) % 2 ? 700.0 : 0.0, 0.0});
  }
  const double perReading = (bench::ThreadCpuSeconds() - cpu0) / static_cast<double>(readings) * 1e6;
  const double megabytes = static_cast<double>(store.MemoryBytes()) / (1024.0 * 1024.0);
  std::printf("%.1f days, %lld readings of 4 outlets: %.1f MB held, %.3f us CPU per reading\n", days,
              static_cast<long long>(readings), megabytes, perReading);

  const std::int64_t end = t0 + readings * 250;
  std::vector<double> takes, copies;
  for (const std::int64_t spanMs : {std::int64_t{600000}, std::int64_t{3600000}, std::int64_t{86400000}, end - t0}) {
    for (int round = 0; round < 20; ++round) {
      const auto a = SteadyClock::now();
      std::size_t buckets = 0;
      for (int outlet = 1; outlet <= 4; ++outlet)
        buckets += store.Range({0x1A2B3, true, outlet}, end - spanMs, end, 1000).buckets.size();
      const auto b = SteadyClock::now();
      std::vector<history::Bucket> source(buckets), copy;
      const auto c = SteadyClock::now();
      copy = source;
      const auto d = SteadyClock::now();
      takes.push_back(std::chrono::duration<double, std::milli>(b - a).count());
      copies.push_back(std::chrono::duration<double, std::milli>(d - c).count() + 1e-6);
    }
  }
  std::printf("taking 1000 buckets of 4 outlets at 10 min, 1 h, 1 day and the whole range: median %.3f ms; "
              "copying as many buckets %.4f ms\n",
              Median(takes), Median(copies));
  const bool memory = bench::VerdictWithin("history_memory_7_days", megabytes, 0.0, "MB", 64.0);
  const bool take = bench::VerdictWithin("history_take_1000_buckets", Median(takes), Median(copies), "ms", 16.0);
  return memory && take ? 0 : 1;
}
