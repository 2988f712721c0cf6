// Files that are whole from the moment they have a name, and files whose
// name or directory went away while they were open.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "recorder_fixture.h"

namespace kvx::test {
namespace {

using recording::CreateMethod;


// Both ways of making a file whole: unnamed and linked, and the fallback for
// filesystems without unnamed files.
class WholeFileTest : public RecorderTest, public ::testing::WithParamInterface<CreateMethod> {
 protected:
  WholeFileTest() { MakeRecorder("", GetParam()); }
};

TEST_P(WholeFileTest, AFullDiskLeavesNoFileAtAllAndTheNextRecordMakesAWholeOne) {
  settings.logIntervalSec = 0;
  settings.splitIntervalSec = 0;
  settings.logMode = 2;  // every record would start its own file
  SetChecked(true);
  FileSizeLimit limit(100);  // three header lines (94 bytes) and a piece of the fourth
  ASSERT_TRUE(limit.Active());
  for (int i = 0; i < 20; ++i) Reading();
  RecorderStatus status = recorder->Status();
  EXPECT_TRUE(status.failing);
  EXPECT_EQ(status.failureEpisodes, 1u);
  EXPECT_EQ(status.currentFile, "");
  EXPECT_EQ(Files(), std::vector<std::string>{});  // not even an empty one

  limit.Lift();
  Reading();
  status = recorder->Status();
  EXPECT_FALSE(status.failing);
  ASSERT_EQ(Files().size(), 1u);
  EXPECT_EQ(Contents(Files()[0]), ExpectedHeader(LOG_KIND_CURRENT) + kRecord);
}

TEST_P(WholeFileTest, ATakenNameIsSkippedNotReplaced) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  std::ofstream(Path("1A2B3_ALL_A_20261206_153805_042.csv"), std::ios::binary) << "keep\r\n";
  Reading();
  Reading();
  EXPECT_EQ(Contents("1A2B3_ALL_A_20261206_153805_042.csv"), "keep\r\n");
  EXPECT_EQ(Contents("1A2B3_ALL_A_20261206_153805_043.csv"), ExpectedHeader(LOG_KIND_CURRENT) + kRecord + kRecord);
  EXPECT_EQ(Files().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(BothMethods, WholeFileTest,
                         ::testing::Values(CreateMethod::Unnamed, CreateMethod::ExclusiveName),
                         [](const auto& info) {
                           return std::string(info.param == CreateMethod::Unnamed ? "Unnamed" : "ExclusiveName");
                         });

using GoneTest = RecorderTest;

TEST_F(GoneTest, RemovedDirectoryIsSaidAndANewFileStartsOnceItIsBack) {
  SetChecked(true);
  clock.Advance(1000);
  Reading();
  const std::string first = recorder->Status().currentFile;
  ASSERT_NE(first, "");
  std::filesystem::remove_all(dir);

  for (int i = 0; i < 3; ++i) {
    clock.Advance(1000);
    Reading();  // nothing goes into the unlinked file
    const RecorderStatus status = recorder->Status();
    EXPECT_TRUE(status.failing);
    EXPECT_EQ(status.lastError, "log directory gone: " + dir);
    EXPECT_EQ(status.currentFile, "");
  }
  EXPECT_EQ(recorder->Status().failureEpisodes, 1u);
  EXPECT_EQ(recorder->Status().episodeError, "log directory gone: " + dir);

  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  clock.Advance(1000);
  Reading();
  const RecorderStatus status = recorder->Status();
  EXPECT_FALSE(status.failing);
  EXPECT_EQ(status.currentFile, Path("1A2B3_ALL_A_20261206_153810_042.csv"));
  EXPECT_EQ(Files(), std::vector<std::string>{"1A2B3_ALL_A_20261206_153810_042.csv"});
  EXPECT_EQ(Contents(Files()[0]), ExpectedHeader(LOG_KIND_CURRENT) + RecordAt("15:38:10"));
}

TEST_F(GoneTest, ReplacedDirectoryGetsTheNextRecordInANewFileAndTheChangeIsSaid) {
  SetChecked(true);
  clock.Advance(1000);
  Reading();
  const std::string old = dir + ".old";
  ASSERT_EQ(std::rename(dir.c_str(), old.c_str()), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  clock.Advance(1000);
  Reading();
  const RecorderStatus status = recorder->Status();
  std::filesystem::remove_all(old);
  EXPECT_FALSE(status.failing);
  EXPECT_EQ(status.failureEpisodes, 1u);
  EXPECT_EQ(status.episodeError, "log directory replaced: " + dir);
  EXPECT_EQ(Files(), std::vector<std::string>{"1A2B3_ALL_A_20261206_153807_042.csv"});
  EXPECT_EQ(Contents(Files()[0]), ExpectedHeader(LOG_KIND_CURRENT) + RecordAt("15:38:07"));
}

TEST_F(GoneTest, DeletedOrReplacedFileIsGivenUpForANewOne) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();
  const std::string first = recorder->Status().currentFile;
  ASSERT_EQ(std::remove(first.c_str()), 0);
  clock.Advance(1);
  Reading();
  EXPECT_EQ(recorder->Status().episodeError, "log file gone: " + first);
  const std::string second = recorder->Status().currentFile;
  EXPECT_EQ(second, Path("1A2B3_ALL_A_20261206_153805_043.csv"));

  // Someone else's file under the open file's name.
  ASSERT_EQ(std::remove(second.c_str()), 0);
  std::ofstream(second, std::ios::binary) << "other\r\n";
  clock.Advance(1);
  Reading();
  const RecorderStatus status = recorder->Status();
  EXPECT_FALSE(status.failing);
  EXPECT_EQ(status.failureEpisodes, 2u);
  EXPECT_EQ(status.episodeError, "log file gone: " + second);
  EXPECT_EQ(ReadWholeFile(second), "other\r\n");
  EXPECT_EQ(Contents("1A2B3_ALL_A_20261206_153805_044.csv"), ExpectedHeader(LOG_KIND_CURRENT) + kRecord);
}

TEST_F(GoneTest, RemovedWorkingDirectoryIsNoticedToo) {
  const std::filesystem::path previous = std::filesystem::current_path();
  const std::string work = dir + "/work";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(chdir(work.c_str()), 0);
  MakeRecorder(".");
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();
  EXPECT_EQ(recorder->Status().currentFile, "./1A2B3_ALL_A_20261206_153805_042.csv");
  std::filesystem::remove_all(work);
  Reading();
  const RecorderStatus status = recorder->Status();
  recorder.reset();  // its journal's last lines are for the gone directory, not the one returned to
  std::filesystem::current_path(previous);
  EXPECT_TRUE(status.failing);
  EXPECT_EQ(status.lastError, "log directory gone: .");
}

}  // namespace
}  // namespace kvx::test
