#include "recording/event_journal.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace kvx::recording {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(JournalLine, ExactTextWithOffsetSerialAndEscapedFields) {
  EXPECT_EQ(FormatIsoTime(LocalTime{2026, 12, 8, 9, 5, 7, 42}, 3600), "2026-12-08T09:05:07.042+01:00");
  EXPECT_EQ(FormatIsoTime(LocalTime{2026, 1, 2, 3, 4, 5, 6}, -(9 * 3600 + 30 * 60)), "2026-01-02T03:04:05.006-09:30");
  EXPECT_EQ(ComposeJournalLine("T", 1234, 0x1A2B3, "file_closed",
                               {{"file", std::string("a\"b\\c\n\x01")}, {"records", std::int64_t{7}}, {"last", nullptr}}),
            "{\"time\":\"T\",\"ms\":1234,\"serial\":\"1A2B3\",\"event\":\"file_closed\","
            "\"file\":\"a\\\"b\\\\c\\n\\u0001\",\"records\":7,\"last\":null}\n");
  EXPECT_EQ(ComposeJournalLine("T", 0, std::nullopt, "stop", {}),
            "{\"time\":\"T\",\"ms\":0,\"serial\":null,\"event\":\"stop\"}\n");
}

class JournalFileTest : public ::testing::Test {
 protected:
  kvx::test::TempDir scratch_{"kvx-journal"};
  std::string dir_ = scratch_.path();
  test::FakeClock clock_;
};

TEST_F(JournalFileTest, AppendsToAnExistingJournalAndNeverTruncates) {
  { std::ofstream(dir_ + "/kvx-events.jsonl") << "{\"event\":\"earlier\"}\n"; }
  EventJournal journal(dir_, clock_);
  EXPECT_TRUE(journal.Write(0x1A2B3, "connection_started"));
  EXPECT_TRUE(journal.Write(std::nullopt, "shutdown"));
  const std::string text = ReadAll(journal.Path());
  EXPECT_EQ(text.rfind("{\"event\":\"earlier\"}\n", 0), 0u);
  EXPECT_NE(text.find("\"event\":\"connection_started\"}\n{"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(JournalFileTest, FailureToldOnceThenTheHeldLinesFollowTheRecoveryInOrder) {
  int failures = 0;
  int recoveries = 0;
  EventJournal journal(dir_, clock_, [&](const std::string&) { ++failures; }, [&] { ++recoveries; });
  EXPECT_TRUE(journal.Write(1, "first"));
  std::filesystem::remove_all(dir_);  // the directory goes away
  clock_.Advance(5);
  EXPECT_FALSE(journal.Write(1, "held_a"));
  EXPECT_FALSE(journal.Write(1, "held_b"));
  EXPECT_EQ(failures, 1);
  std::filesystem::create_directory(dir_);  // made again: the journal follows
  clock_.Advance(5);
  EXPECT_TRUE(journal.Write(1, "back"));
  EXPECT_EQ(recoveries, 1);
  const std::string text = ReadAll(journal.Path());
  const std::string recovered = "\"ms\":10,\"serial\":null,\"event\":\"journal_recovered\",\"lines_held\":3,\"lines_lost\":0}\n";
  const auto at = [&](const std::string& what) { return text.find(what); };
  ASSERT_NE(at(recovered), std::string::npos) << text;
  // Each held line keeps the moment it was written.
  EXPECT_LT(at(recovered), at("\"ms\":5,\"serial\":\"00001\",\"event\":\"held_a\"}\n"));
  EXPECT_LT(at("\"held_a\""), at("\"held_b\""));
  EXPECT_LT(at("\"held_b\""), at("\"ms\":10,\"serial\":\"00001\",\"event\":\"back\"}\n"));
  EXPECT_EQ(journal.LinesLost(), 0u);
}

TEST_F(JournalFileTest, BeyondTheHeldBoundTheOldestLinesAreDroppedAndCounted) {
  EventJournal journal(dir_, clock_);
  std::filesystem::remove_all(dir_);
  for (std::size_t i = 0; i < MAX_HELD_LINES + 3; ++i) journal.Write(std::nullopt, "n" + std::to_string(i));
  std::filesystem::create_directory(dir_);
  EXPECT_TRUE(journal.Write(std::nullopt, "back"));
  const std::string text = ReadAll(journal.Path());
  EXPECT_EQ(text.find("\"n0\""), std::string::npos);
  EXPECT_EQ(text.find("\"n3\""), std::string::npos);  // n0..n3 dropped: "back" took a place too
  EXPECT_NE(text.find("\"n4\""), std::string::npos);
  EXPECT_NE(text.find("\"lines_held\":256,\"lines_lost\":4}"), std::string::npos) << text.substr(0, 200);
  EXPECT_EQ(journal.LinesLost(), 4u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 257);
}

TEST_F(JournalFileTest, AFullFileLeavesOnlyWholeLines) {
  EventJournal journal(dir_, clock_);
  ASSERT_TRUE(journal.Write(1, "first"));
  const auto size = std::filesystem::file_size(journal.Path());
  {
    rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved;
    lowered.rlim_cur = size + 20;  // room for part of the next line only
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    EXPECT_FALSE(journal.Write(1, "does_not_fit_whole"));
    EXPECT_EQ(std::filesystem::file_size(journal.Path()), size);  // the piece was cut off again
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
  }
  EXPECT_TRUE(journal.Write(1, "after"));
  const std::string text = ReadAll(journal.Path());
  EXPECT_NE(text.find("\"event\":\"first\"}\n{"), std::string::npos);
  EXPECT_NE(text.find("\"event\":\"does_not_fit_whole\"}\n{"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace
}  // namespace kvx::recording
