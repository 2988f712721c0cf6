#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

#include "recorder_fixture.h"

namespace kvx::test {
namespace {

const std::string kFile = "1A2B3_ALL_A_20261206_153805_042.csv";

using CreationFailureTest = RecorderTest;

TEST_F(CreationFailureTest, DirectoryBelowARegularFileFailsVisiblyAndLeavesTheSlotClosed) {
  std::ofstream(Path("plain")) << "not a directory";
  MakeRecorder(Path("plain/logs"));
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();
  RecorderStatus status = recorder->Status();
  EXPECT_TRUE(status.failing);
  // The reason is the C library's text for the error, in whatever language it speaks.
  const std::string notADirectory = std::string(": ") + std::strerror(ENOTDIR);
  EXPECT_EQ(status.lastError, "create " + Path("plain/logs/") + kFile + notADirectory);
  EXPECT_EQ(status.currentFile, "");
  EXPECT_EQ(status.recordsWritten, 0u);
  EXPECT_FALSE(recorder->WriteLogRecord(LOG_KIND_CURRENT, kRecord));
  clock.Advance(1);
  Reading();  // tried again under the next name
  EXPECT_EQ(recorder->Status().lastError,
            "create " + Path("plain/logs/1A2B3_ALL_A_20261206_153805_043.csv") + notADirectory);
}

TEST_F(CreationFailureTest, NextDueRecordTriesAgainUnderANewName) {
  MakeRecorder(Path("later"));  // does not exist yet
  SetChecked(true);
  clock.Advance(1000);
  Reading();
  EXPECT_TRUE(recorder->Status().failing);
  ASSERT_EQ(mkdir(Path("later").c_str(), 0755), 0);
  clock.Advance(1000);
  Reading();
  const RecorderStatus status = recorder->Status();
  EXPECT_FALSE(status.failing);
  EXPECT_EQ(status.recordsWritten, 1u);
  EXPECT_EQ(status.currentFile, Path("later/1A2B3_ALL_A_20261206_153807_042.csv"));
  EXPECT_EQ(ReadWholeFile(status.currentFile),
            ExpectedHeader(LOG_KIND_CURRENT) + "2026/12/06 15:38:07,on,00123,00000,01500,00042,101,60.00,31.25\r\n");
}

TEST_F(CreationFailureTest, UnknownKindAndOversizeValuesAreFailuresNotPartialLines) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  EXPECT_FALSE(recorder->WriteLogRecord(7, kRecord));
  EXPECT_TRUE(recorder->Status().failing);
  Reading(LOG_KIND_CURRENT, true, {1e250, 0.0, 0.0, 0.0});
  EXPECT_TRUE(recorder->Status().failing);
  EXPECT_EQ(Files().size(), 0u);
  Reading();
  EXPECT_FALSE(recorder->Status().failing);
  EXPECT_EQ(Contents(kFile), ExpectedHeader(LOG_KIND_CURRENT) + kRecord);
}

using FullFileTest = RecorderTest;

TEST_F(FullFileTest, ShortWriteIsCutBackToTheLastWholeLine) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  const std::size_t headerSize = ExpectedHeader(LOG_KIND_CURRENT).size();
  FileSizeLimit limit(headerSize + kRecord.size() + kRecord.size() / 2);
  ASSERT_TRUE(limit.Active());
  Reading();  // fits
  EXPECT_FALSE(recorder->Status().failing);
  Reading();  // half of it fits: cut off again
  Reading();  // the next due record tries again
  RecorderStatus status = recorder->Status();
  EXPECT_TRUE(status.failing);
  EXPECT_EQ(status.lastError, "write " + Path(kFile) + ": File too large");
  EXPECT_EQ(status.currentFile, Path(kFile));  // the file stays open
  EXPECT_EQ(Contents(kFile), ExpectedHeader(LOG_KIND_CURRENT) + kRecord);

  limit.Lift();
  Reading();
  status = recorder->Status();
  EXPECT_FALSE(status.failing);
  EXPECT_EQ(status.recordsWritten, 2u);
  EXPECT_EQ(Contents(kFile), ExpectedHeader(LOG_KIND_CURRENT) + kRecord + kRecord);
}

}  // namespace
}  // namespace kvx::test
