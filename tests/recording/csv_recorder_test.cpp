#include <gtest/gtest.h>

#include <fstream>

#include "recorder_fixture.h"

namespace kvx::test {
namespace {

using RecordIntervalTest = RecorderTest;

TEST_F(RecordIntervalTest, IntervalZeroRecordsEveryReading) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  for (int i = 0; i < 4; ++i) Reading();  // same tick, same time
  ASSERT_EQ(Files(), std::vector<std::string>{"1A2B3_ALL_A_20261206_153805_042.csv"});
  EXPECT_EQ(Contents(Files()[0]), ExpectedHeader(LOG_KIND_CURRENT) + kRecord + kRecord + kRecord + kRecord);
  EXPECT_EQ(recorder->Status().recordsWritten, 4u);
}

TEST_F(RecordIntervalTest, RecordsComeWhenTheIntervalHasPassedSinceTheLastExpiry) {
  SetChecked(true);
  for (int i = 0; i < 10; ++i) {
    clock.Advance(300);
    Reading();  // ticks 300 .. 3000: due at 1200 and 2400
  }
  ASSERT_EQ(Files().size(), 1u);
  EXPECT_EQ(Contents(Files()[0]), ExpectedHeader(LOG_KIND_CURRENT) + RecordAt("15:38:06") + RecordAt("15:38:07"));
}

TEST_F(RecordIntervalTest, IntervalKeepsRunningWhileUncheckedAndRecheckingStartsANewFile) {
  SetChecked(true);
  clock.Advance(1000);
  Reading();  // tick 1000: record in the first file
  const std::string first = recorder->Status().currentFile;
  EXPECT_EQ(first, Path("1A2B3_ALL_A_20261206_153806_042.csv"));

  SetChecked(false);
  recorder->CloseLogFiles(CloseReason::LogSwitchedOff);  // what the Log box's handler does when it is unticked
  EXPECT_EQ(recorder->Status().currentFile, "");
  clock.Advance(1000);
  Reading();  // tick 2000: the interval expires although nothing is written
  SetChecked(true);  // ticking runs nothing: the next due record opens the file
  EXPECT_EQ(recorder->Status().currentFile, "");
  clock.Advance(900);
  Reading();  // tick 2900: only 900 ms since the last expiry
  clock.Advance(100);
  Reading();  // tick 3000: due, into a new file

  ASSERT_EQ(Files(), (std::vector<std::string>{"1A2B3_ALL_A_20261206_153806_042.csv",
                                               "1A2B3_ALL_A_20261206_153808_042.csv"}));
  EXPECT_EQ(Contents(Files()[0]), ExpectedHeader(LOG_KIND_CURRENT) + RecordAt("15:38:06"));
  EXPECT_EQ(Contents(Files()[1]), ExpectedHeader(LOG_KIND_CURRENT) + RecordAt("15:38:08"));
}

TEST_F(RecordIntervalTest, TickWrapAroundKeepsIntervalAndSplit) {
  clock.Advance(0xFFFFF000u);  // 4096 ms before the 32-bit tick wraps
  MakeRecorder();
  settings.logIntervalSec = 10;
  settings.splitIntervalSec = 15;
  settings.logMode = 2;
  SetChecked(true);
  for (int i = 0; i < 25; ++i) {
    clock.Advance(1000);
    Reading();  // due 10 s and 20 s after the start; the split comes with the second
  }
  const auto files = Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(SplitLines(Contents(files[0])).size(), 7u);
  EXPECT_EQ(SplitLines(Contents(files[1])).size(), 7u);
  EXPECT_EQ(recorder->Status().recordsWritten, 2u);
}

using SplitTest = RecorderTest;

TEST_F(SplitTest, SplitIntervalZeroHeadsEveryRecordInItsOwnFile) {
  settings.logIntervalSec = 0;
  settings.splitIntervalSec = 0;
  settings.logMode = 2;
  SetChecked(true);
  for (int i = 0; i < 3; ++i) Reading();  // same millisecond: the names step on
  ASSERT_EQ(Files(), (std::vector<std::string>{"1A2B3_ALL_A_20261206_153805_042.csv",
                                               "1A2B3_ALL_A_20261206_153805_043.csv",
                                               "1A2B3_ALL_A_20261206_153805_044.csv"}));
  for (const auto& name : Files()) EXPECT_EQ(Contents(name), ExpectedHeader(LOG_KIND_CURRENT) + kRecord);
}

TEST_F(SplitTest, SplitsOnlyInModeTwoAfterTheSplitInterval) {
  settings.splitIntervalSec = 2;
  settings.logMode = 102;  // start-up actions still pending: no split yet
  SetChecked(true);
  clock.Advance(1000);
  Reading();
  clock.Advance(1000);
  Reading();
  EXPECT_EQ(Files().size(), 1u);
  settings.logMode = 2;
  for (int i = 0; i < 3; ++i) {
    clock.Advance(1000);
    Reading();  // ticks 3000 (split: 3000 since start), 4000, 5000 (split)
  }
  const auto files = Files();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(Contents(files[0]), ExpectedHeader(LOG_KIND_CURRENT) + RecordAt("15:38:06") + RecordAt("15:38:07"));
  EXPECT_EQ(Contents(files[1]), ExpectedHeader(LOG_KIND_CURRENT) + RecordAt("15:38:08") + RecordAt("15:38:09"));
  EXPECT_EQ(Contents(files[2]), ExpectedHeader(LOG_KIND_CURRENT) + RecordAt("15:38:10"));
}

using SlotTest = RecorderTest;

TEST_F(SlotTest, OffStateUsesTheZeroTexts) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading(LOG_KIND_POWER, false);
  ASSERT_EQ(Files(), std::vector<std::string>{"1A2B3_ALL_W_20261206_153805_042.csv"});
  EXPECT_EQ(Contents(Files()[0]), ExpectedHeader(LOG_KIND_POWER) +
                                      "2026/12/06 15:38:05,off,0000,0000,0000,0000,000,00.00,31.25\r\n");
}

TEST_F(SlotTest, QuantitySwitchClosesAndOpensAFileOfTheOtherKind) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading(LOG_KIND_CURRENT);
  recorder->CloseLogFiles(CloseReason::QuantityChanged);  // the acquisition thread sends the new quantity
  clock.Advance(5);
  Reading(LOG_KIND_POWER);
  EXPECT_EQ(recorder->Status().currentFile, "");
  EXPECT_EQ(recorder->Status().powerFile, Path("1A2B3_ALL_W_20261206_153805_047.csv"));
  ASSERT_EQ(Files(), (std::vector<std::string>{"1A2B3_ALL_A_20261206_153805_042.csv",
                                               "1A2B3_ALL_W_20261206_153805_047.csv"}));
  EXPECT_EQ(Contents(Files()[0]), ExpectedHeader(LOG_KIND_CURRENT) + kRecord);
  EXPECT_EQ(Contents(Files()[1]), ExpectedHeader(LOG_KIND_POWER) +
                                      "2026/12/06 15:38:05,on,0123,0000,1500,0042,101,60.00,31.25\r\n");
}

TEST_F(SlotTest, TheTwoSlotsAreIndependent) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading(LOG_KIND_CURRENT);
  Reading(LOG_KIND_POWER);
  Reading(LOG_KIND_CURRENT);
  const RecorderStatus status = recorder->Status();
  EXPECT_EQ(status.currentFile, Path("1A2B3_ALL_A_20261206_153805_042.csv"));
  EXPECT_EQ(status.powerFile, Path("1A2B3_ALL_W_20261206_153805_042.csv"));
  EXPECT_EQ(SplitLines(Contents("1A2B3_ALL_A_20261206_153805_042.csv")).size(), 8u);
  EXPECT_EQ(SplitLines(Contents("1A2B3_ALL_W_20261206_153805_042.csv")).size(), 7u);
}

TEST_F(SlotTest, AnExistingFileIsNeverOverwritten) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  for (const char* taken : {"1A2B3_ALL_A_20261206_153805_042.csv", "1A2B3_ALL_A_20261206_153805_043.csv"}) {
    std::ofstream(Path(taken), std::ios::binary) << "keep\r\n";
  }
  Reading();
  EXPECT_EQ(Contents("1A2B3_ALL_A_20261206_153805_042.csv"), "keep\r\n");
  EXPECT_EQ(Contents("1A2B3_ALL_A_20261206_153805_043.csv"), "keep\r\n");
  EXPECT_EQ(recorder->Status().currentFile, Path("1A2B3_ALL_A_20261206_153805_044.csv"));
  EXPECT_EQ(Contents("1A2B3_ALL_A_20261206_153805_044.csv"), ExpectedHeader(LOG_KIND_CURRENT) + kRecord);
}

TEST_F(SlotTest, AnUncheckedBoxWritesNothingAfterTheFilesWereClosed) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();
  EXPECT_TRUE(recorder->Status().loggingChecked);
  EXPECT_NE(recorder->Status().currentFile, "");
  SetChecked(false);
  recorder->CloseLogFiles(CloseReason::LogSwitchedOff);
  EXPECT_EQ(recorder->Status().currentFile, "");
  EXPECT_FALSE(recorder->Status().loggingChecked);
  Reading();
  EXPECT_EQ(recorder->Status().recordsWritten, 1u);
}

TEST_F(SlotTest, DestructionLeavesCompleteFiles) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();
  EXPECT_TRUE(recorder->WriteLogRecord(LOG_KIND_CURRENT, "x\r\n"));
  recorder.reset();
  EXPECT_EQ(Contents(Files().at(0)), ExpectedHeader(LOG_KIND_CURRENT) + kRecord + "x\r\n");
}

}  // namespace
}  // namespace kvx::test
