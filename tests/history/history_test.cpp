// The history pyramid against what a chart needs: a spike of one reading at
// its full height on every level and every zoom, counts that add up from
// level to level, min <= mean <= max, gaps that stay empty and carry their
// causes, and the retention that bounds the memory.
#include <gtest/gtest.h>

#include <fstream>

#include "history/history_store.h"
#include "history/log_loader.h"
#include "support/temp_dir.h"

namespace kvx::history {
namespace {

constexpr std::int64_t T0 = 1796716800000;  // 2026-12-08T08:00:00Z, in ms

TEST(Pyramid, ASpikeOfOneReadingKeepsItsHeightAtEveryLevelAndTheCountsAddUp) {
  Pyramid pyramid;
  constexpr int READINGS = 4 * 3 * 3600;  // 3 hours at 4 a second
  const std::int64_t spikeMs = T0 + 4321 * 250;
  for (int i = 0; i < READINGS; ++i) {
    const std::int64_t t = T0 + i * 250;
    pyramid.Add(t, t == spikeMs ? 5000.0f : 100.0f + static_cast<float>(i % 7));
  }
  const std::int64_t end = T0 + READINGS * 250;
  std::uint64_t previousTotal = 0;
  for (int level = 0; level < Pyramid::LEVELS; ++level) {
    const Slice slice = pyramid.Level(level, T0, end);
    std::uint64_t total = 0;
    float highest = 0;
    for (const Bucket& b : slice.buckets) {
      total += b.count;
      highest = std::max(highest, b.max);
      if (b.count != 0) {
        EXPECT_LE(b.min, b.Mean() + 1e-3);
        EXPECT_LE(b.Mean(), b.max + 1e-3);
      }
    }
    EXPECT_EQ(total, static_cast<std::uint64_t>(READINGS)) << "level " << level;
    EXPECT_EQ(highest, 5000.0f) << "level " << level;
    if (level > 0) {
      // Each bucket holds exactly the readings of the 8 below it.
      const Slice below = pyramid.Level(level - 1, slice.startMs, slice.startMs + slice.widthMs * 3);
      for (std::size_t k = 0; k < 3 && k < slice.buckets.size(); ++k) {
        std::uint32_t sum = 0;
        for (std::size_t j = 0; j < 8; ++j) sum += below.buckets[k * 8 + j].count;
        EXPECT_EQ(slice.buckets[k].count, sum) << "level " << level;
      }
    }
    previousTotal = total;
  }
  EXPECT_EQ(previousTotal, static_cast<std::uint64_t>(READINGS));
  for (const std::size_t pixels : {3u, 40u, 1000u, 20000u}) {
    const Slice slice = pyramid.Range(T0, end, pixels);
    EXPECT_LE(slice.buckets.size(), std::max<std::size_t>(pixels, 2)) << pixels;
    float highest = 0;
    for (const Bucket& b : slice.buckets) highest = std::max(highest, b.max);
    EXPECT_EQ(highest, 5000.0f) << pixels << " pixels";
  }
}

TEST(Pyramid, RetentionBoundsWhatIsKeptAndAClockJumpStartsAfresh) {
  Pyramid pyramid(3600);
  for (int s = 0; s < 3 * 3600; ++s) pyramid.Add(T0 + s * 1000LL, 1.0f);
  EXPECT_EQ(pyramid.EndMs() - pyramid.FirstMs(), 3600 * 1000);
  const std::size_t bytes = pyramid.MemoryBytes();
  EXPECT_LT(bytes, 3600 * sizeof(Bucket) * 8 / 7 + 4096);
  pyramid.Add(T0 - 1000, 2.0f);  // older than what is held
  EXPECT_EQ(pyramid.dropped(), 1u);
  pyramid.Add(T0 + 400LL * 24 * 3600 * 1000, 3.0f);  // a year and more ahead
  EXPECT_EQ(pyramid.EndMs() - pyramid.FirstMs(), 1000);
  EXPECT_LE(pyramid.MemoryBytes(), bytes);
}

TEST(HistoryStore, GapsStayEmptyAndSayWhy) {
  HistoryStore store;
  ConnectionOpenedEvent opened;
  opened.identity.connectionSerial = 0x1A2B3;
  store.OnConnectionOpened(opened);
  const auto reading = [&](std::int64_t ms) { store.Add(0x1A2B3, true, ms, {1200, 150, 0, 0}); };
  for (int i = 0; i < 20; ++i) reading(T0 + i * 500);          // 0 .. 9.5 s
  for (int i = 0; i < 4; ++i) reading(T0 + 20000 + i * 500);   // a stall, then 20 .. 21.5 s
  store.OnConnectionEnded({0, ConnectionEnd::Unplugged});
  store.OnConnectionOpened(opened);
  reading(T0 + 60000);
  const std::vector<Gap> gaps = store.Gaps(0x1A2B3);
  ASSERT_EQ(gaps.size(), 2u);
  EXPECT_EQ(gaps[0].cause, "stall");
  EXPECT_EQ(gaps[0].startMs, T0 + 9500);
  EXPECT_EQ(gaps[0].endMs, T0 + 20000);
  EXPECT_EQ(gaps[1].cause, "unplugged");
  EXPECT_EQ(gaps[1].startMs, T0 + 21500);
  EXPECT_EQ(gaps[1].endMs, T0 + 60000);
  const Slice slice = store.Range(SeriesKey{0x1A2B3, true, 1}, T0, T0 + 61000, 1000);
  ASSERT_EQ(slice.widthMs, 1000);
  for (std::size_t s = 0; s < slice.buckets.size(); ++s) {
    const bool inGap = (s >= 10 && s < 20) || (s >= 22 && s < 60);
    EXPECT_EQ(slice.buckets[s].count == 0, inGap) << s << " s";
  }
  EXPECT_EQ(store.Range(SeriesKey{0x1A2B3, false, 1}, T0, T0 + 61000, 1000).buckets[0].count, 0u);  // no current read
}

TEST(LogLoader, TakesTheStripsFilesInTimeOrderAndSkipsOnlyATornLine) {
  const test::TempDir logs{"kvx-history"};
  const std::string header =
      "hostname,LM-3827QD,,,,,\r\nMAC Address,00:00:00:00:00:00,,,,,\r\nIP Address,000.000.000.000,,,,,\r\n"
      "unit,electric power[W],,,,,\r\n,01A2B3,V2.1L10,,,,\r\ndate,state,ch1,ch2,ch3,ch4,V,Hz,Temp\r\n";
  const auto write = [&](const std::string& name, const std::string& records) {
    std::ofstream(logs.Path(name), std::ios::binary) << header << records;
  };
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  write("1A2B3_ALL_W_20261208_080000_000.csv",
        "2026/12/08 08:00:00,on,1200,0150,0000,0000,100,50.00,25.34\r\n"
        "2026/12/08 08:00:01,on,1210,0150,0000,0000,100,50.00,25.34\r\n");
  write("1A2B3_ALL_A_20261208_080002_000.csv",  // a split into current, later than the power file
        "2026/12/08 08:00:02,on,12000,00625,00000,00000,100,50.00,25.34\r\n"
        "2026/12/08 08:00:03,off,00000,00000,00000,00000,000,00.00,25.34\r\n"
        "2026/12/08 08:00:04,on,1200");  // torn by a kill
  // Logging switched off for a minute: the journal says so between two files.
  write("1A2B3_ALL_W_20261208_080104_000.csv", "2026/12/08 08:01:04,on,1200,0150,0000,0000,100,50.00,25.34\r\n");
  std::ofstream(logs.Path("kvx-events.jsonl"))
      << R"({"time":"2026-12-08T08:00:02.900+00:00","ms":1,"serial":"1A2B3","event":"read_timeouts","count":0})"
         "\n"
      << R"({"time":"2026-12-08T09:00:04.500+01:00","ms":2,"serial":"1A2B3","event":"file_closed","reason":"log_switched_off"})"
         "\n"
      << R"({"time":"2026-12-08T08:00:05.000+00:00","ms":3,"serial":"2C4D5","event":"connection_ended","reason":"unplugged"})"
         "\n";
  write("2C4D5_ALL_W_20261208_080000_000.csv", "2026/12/08 08:00:00,on,9999,0000,0000,0000,100,50.00,25.34\r\n");
  HistoryStore store;
  std::vector<std::size_t> progress;
  const LoadResult result =
      LoadLogDirectory(store, logs.path(), 0x1A2B3, [&](std::size_t done, std::size_t) { progress.push_back(done); });
  ::unsetenv("TZ");
  ::tzset();
  EXPECT_EQ(result.files, 3u);
  EXPECT_EQ(result.records, 5u);
  EXPECT_EQ(result.skippedLines, 1u);
  EXPECT_EQ(progress, (std::vector<std::size_t>{1, 2, 3}));
  // The first event with a cause inside the gap (another strip's aside), its
  // time read with its offset; the read timeouts before the last record explain nothing.
  const std::vector<Gap> gaps = store.Gaps(0x1A2B3);
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].startMs, T0 + 3000);
  EXPECT_EQ(gaps[0].endMs, T0 + 64000);
  EXPECT_EQ(gaps[0].cause, "logging_off");
  const Slice watts = store.Range({0x1A2B3, true, 1}, T0, T0 + 5000, 100);
  ASSERT_EQ(watts.widthMs, 1000);
  EXPECT_EQ(watts.buckets[0].max, 1200.0f);
  EXPECT_EQ(watts.buckets[1].max, 1210.0f);
  EXPECT_EQ(watts.buckets[2].count, 0u);  // current was logged then
  const Slice amps = store.Range({0x1A2B3, false, 2}, T0, T0 + 5000, 100);
  EXPECT_EQ(amps.buckets[2].max, 625.0f);
  EXPECT_EQ(amps.buckets[3].count, 1u);   // switched off: 0 mA, a reading all the same
  EXPECT_EQ(amps.buckets[4].count, 0u);   // the torn line
  for (const SeriesKey& key : store.Series()) EXPECT_EQ(key.serial, 0x1A2B3u);  // not the other strip
}

}  // namespace
}  // namespace kvx::history
