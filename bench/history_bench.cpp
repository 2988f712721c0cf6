// The history store holding 7 days of summary readings at 4 a second for 4
// outlets: its memory against the 64 MB it may use, the CPU per reading, and
// the time to take 1000 buckets (a chart's width) out of it at zooms from
// 10 minutes to the whole week, against copying that many buckets.
//   kvx_history_bench [DAYS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <ctime>
#include <fstream>

#include "history/history_store.h"
#include "history/log_loader.h"
#include "listener_floor.h"
#include "support/temp_dir.h"
#include "verdict.h"
#include "week_of_logs.h"

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
  // A week of 1 s power records in seven daily files, loaded back; against reading the same bytes.
  const test::TempDir logs{"kvx-history-bench"};
  const std::size_t bytes = bench::WriteDaysOfPowerLogs(logs.path(), 7);
  const auto r0 = SteadyClock::now();
  std::size_t read = 0;
  for (const auto& entry : std::filesystem::directory_iterator(logs.path())) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    read += content.size();
  }
  const double readSeconds = std::chrono::duration<double>(SteadyClock::now() - r0).count();
  history::HistoryStore loaded;
  const auto l0 = SteadyClock::now();
  const history::LoadResult result = history::LoadLogDirectory(loaded, logs.path(), 0x1A2B3);
  const double loadSeconds = std::chrono::duration<double>(SteadyClock::now() - l0).count();
  std::printf("loading a week of 1 s records (%zu files, %zu records, %zu bytes, %zu read): %.3f s; reading the bytes %.3f s\n",
              result.files, result.records, bytes, read, loadSeconds, readSeconds);

  const bool memory = bench::VerdictWithin("history_memory_7_days", megabytes, 0.0, "MB", 64.0);
  const bool load = bench::VerdictWithin("history_load_week_of_records", loadSeconds, readSeconds, "s", 3.0);
  const bool take = bench::VerdictWithin("history_take_1000_buckets", Median(takes), Median(copies), "ms", 16.0);
  return memory && take && load && result.records == 7u * 86400u ? 0 : 1;
}
