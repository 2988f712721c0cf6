#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "acquisition/sinks.h"
#include "recording/log_format.h"
#include "recorder_fixture.h"

namespace kvx::recording {
namespace {

constexpr LocalTime kTime{2026, 12, 6, 15, 38, 5, 42};

RecordValues Values(int kind, bool isOn) {
  return RecordValues{kTime, kind, isOn, {123.0, 0.0, 1500.0, 42.0}, 101.0, 60.0, 31.25};
}

TEST(LogFileNameTest, NamesCarrySerialKindAndMillisecond) {
  EXPECT_EQ(LogFileName(".", LOG_KIND_CURRENT, 0x1A2B3, kTime), "./1A2B3_ALL_A_20261206_153805_042.csv");
  EXPECT_EQ(LogFileName("/var/log", LOG_KIND_POWER, 0x7FF, kTime), "/var/log/007FF_ALL_W_20261206_153805_042.csv");
  EXPECT_EQ(LogFileName(".", LOG_KIND_CURRENT, 0xABCDEF, kTime), "./ABCDEF_ALL_A_20261206_153805_042.csv");
}

TEST(LogFileNameTest, NextMillisecondCarriesLikeTheCalendar) {
  EXPECT_EQ(NextMillisecond(kTime), (LocalTime{2026, 12, 6, 15, 38, 5, 43}));
  EXPECT_EQ(NextMillisecond(LocalTime{2026, 12, 31, 23, 59, 59, 999}), (LocalTime{2027, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(NextMillisecond(LocalTime{2028, 2, 28, 23, 59, 59, 999}), (LocalTime{2028, 2, 29, 0, 0, 0, 0}));
  EXPECT_EQ(NextMillisecond(LocalTime{2027, 2, 28, 23, 59, 59, 999}), (LocalTime{2027, 3, 1, 0, 0, 0, 0}));
}

TEST(HeaderLinesTest, SixLinesByteForByte) {
  for (int kind : {LOG_KIND_CURRENT, LOG_KIND_POWER}) {
    std::string joined;
    const auto lines = HeaderLines(kind, "01A2B3", "V2.0L10");
    ASSERT_EQ(lines.size(), 6u);
    for (const auto& line : lines) joined += line;
    EXPECT_EQ(joined, test::ExpectedHeader(kind));
  }
}

TEST(HeaderLinesTest, OverlongIdentityStillEndsTheLine) {
  const auto lines = HeaderLines(LOG_KIND_CURRENT, std::string(300, 'A'), std::string(300, 'B'));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_LT(lines[4].size(), LINE_BUFFER_SIZE);
  EXPECT_EQ(lines[4].substr(lines[4].size() - 6), ",,,,\r\n");
}

TEST(ComposeRecordTest, FourFormatsByteForByte) {
  EXPECT_EQ(ComposeRecord(Values(LOG_KIND_CURRENT, true)),
            "2026/12/06 15:38:05,on,00123,00000,01500,00042,101,60.00,31.25\r\n");
  EXPECT_EQ(ComposeRecord(Values(LOG_KIND_CURRENT, false)),
            "2026/12/06 15:38:05,off,00000,00000,00000,00000,000,00.00,31.25\r\n");
  EXPECT_EQ(ComposeRecord(Values(LOG_KIND_POWER, true)),
            "2026/12/06 15:38:05,on,0123,0000,1500,0042,101,60.00,31.25\r\n");
  EXPECT_EQ(ComposeRecord(Values(LOG_KIND_POWER, false)),
            "2026/12/06 15:38:05,off,0000,0000,0000,0000,000,00.00,31.25\r\n");
}

TEST(ComposeRecordTest, WideValuesKeepAllDigitsAndRound) {
  RecordValues v = Values(LOG_KIND_CURRENT, true);
  v.channels = {123456.0, 0.4, 99.5, 2.5};
  v.lineFrequencyHz = 5.0;
  v.temperatureC = -3.456;
  EXPECT_EQ(ComposeRecord(v), "2026/12/06 15:38:05,on,123456,00000,00100,00002,101,5.00,-3.46\r\n");
}

TEST(ComposeRecordTest, NonFiniteValuesAreWrittenAsZero) {
  RecordValues v = Values(LOG_KIND_CURRENT, true);
  v.channels[1] = std::numeric_limits<double>::quiet_NaN();
  v.lineFrequencyHz = std::numeric_limits<double>::infinity();
  v.supplyVolts = -std::numeric_limits<double>::infinity();
  EXPECT_EQ(ComposeRecord(v), "2026/12/06 15:38:05,on,00123,00000,01500,00042,000,0.00,31.25\r\n");
  v.isOn = false;
  v.temperatureC = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ComposeRecord(v), "2026/12/06 15:38:05,off,00000,00000,00000,00000,000,00.00,0.00\r\n");
}

TEST(ComposeRecordTest, RefusesWhatCannotBeAWholeLine) {
  RecordValues v = Values(LOG_KIND_POWER, true);
  v.channels[0] = 1e250;  // 251 digits: the line would lose its CR LF
  EXPECT_EQ(ComposeRecord(v), std::nullopt);
  EXPECT_EQ(ComposeRecord(Values(0x30, true)), std::nullopt);
  EXPECT_EQ(SlotOfKind(3), std::nullopt);
}

}  // namespace
}  // namespace kvx::recording
