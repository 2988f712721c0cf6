#include "recording/event_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/fake_clock.h"

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
  void SetUp() override {
    char pattern[] = "/tmp/kvx-journal-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
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

TEST_F(JournalFileTest, FailureToldOnceThenRecoveryCountsTheLostLines) {
  int failures = 0;
  EventJournal journal(dir_, clock_, [&](const std::string&) { ++failures; });
  EXPECT_TRUE(journal.Write(1, "first"));
  std::filesystem::remove_all(dir_);  // the directory goes away
  EXPECT_FALSE(journal.Write(1, "lost_a"));
  EXPECT_FALSE(journal.Write(1, "lost_b"));
  EXPECT_EQ(failures, 1);
  std::filesystem::create_directory(dir_);  // made again: the journal follows
  EXPECT_TRUE(journal.Write(1, "back"));
  const std::string text = ReadAll(journal.Path());
  EXPECT_NE(text.find("\"event\":\"journal_recovered\",\"lines_lost\":2}\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"event\":\"back\"}\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("lost_a"), std::string::npos);
  EXPECT_EQ(journal.LinesLost(), 2u);
}

}  // namespace
}  // namespace kvx::recording
