// The recorder's event journal: every file's opening and closing with its
// records and reason, logging failing and working again, and a journal that
// follows its directory and never loses its whole-line form.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "recorder_fixture.h"

namespace kvx::test {
namespace {

class JournalTest : public RecorderTest {
 protected:
  // Every line of the journal parsed; a line that is not a whole JSON object fails the test.
  std::vector<nlohmann::json> Lines() const {
    const std::string text = ReadWholeFile(Path(recording::JOURNAL_FILE_NAME));
    std::vector<nlohmann::json> lines;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      const std::string line = text.substr(start, end - start);
      const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
      EXPECT_TRUE(parsed.is_object()) << "not a JSON object: " << line;
      lines.push_back(parsed);
      start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
  }
  std::vector<nlohmann::json> Events(const std::string& name) const {
    std::vector<nlohmann::json> found;
    for (const auto& line : Lines()) {
      if (line.value("event", "") == name) found.push_back(line);
    }
    return found;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& line : Lines()) names.push_back(line.value("event", ""));
    return names;
  }
};

TEST_F(JournalTest, AFileIsOpenedAndClosedWithItsRecordsTimesAndReason) {
  SetChecked(true);
  for (int i = 0; i < 3; ++i) {
    clock.Advance(1000);
    Reading();  // 15:38:06, :07, :08
  }
  recorder->CloseLogFiles(CloseReason::QuantityChanged);
  const auto lines = Lines();
  ASSERT_EQ(Names(), (std::vector<std::string>{"file_opened", "file_closed"}));
  const nlohmann::json& opened = lines[0];
  const nlohmann::json& closed = lines[1];
  EXPECT_EQ(opened["serial"], "1A2B3");
  EXPECT_EQ(opened["file"], "1A2B3_ALL_A_20261206_153806_042.csv");
  EXPECT_EQ(opened["kind"], "current");
  // The reading's local time to the millisecond, then the UTC offset "+hh:mm".
  const auto isLocalIso = [](const std::string& text) {
    return text.size() == 29 && text.rfind("2026-12-06T15:38:06.042", 0) == 0 && (text[23] == '+' || text[23] == '-') &&
           text[26] == ':';
  };
  EXPECT_TRUE(isLocalIso(opened["first"])) << opened;
  EXPECT_TRUE(isLocalIso(opened["time"])) << opened;
  EXPECT_EQ(opened["ms"], 1000);
  EXPECT_EQ(closed["file"], opened["file"]);
  EXPECT_EQ(closed["records"], 3);
  EXPECT_EQ(closed["first"], opened["first"]);
  EXPECT_EQ(closed["last"].get<std::string>().substr(0, 23), "2026-12-06T15:38:08.042");
  EXPECT_EQ(closed["reason"], "quantity_changed");
}

TEST_F(JournalTest, EveryCloseSaysWhyAndTheBoxOffKeepsTheRestOut) {
  settings.logIntervalSec = 1;
  settings.splitIntervalSec = 2;
  settings.logMode = 2;
  SetChecked(true);
  for (int i = 0; i < 3; ++i) {
    clock.Advance(1000);
    Reading();  // the split comes with the second record
  }
  recorder->CloseLogFiles(CloseReason::OutletChanged);
  clock.Advance(1000);
  Reading();
  SetChecked(false);
  recorder->CloseLogFiles(CloseReason::LogSwitchedOff);
  journal->OnConnectionEnded({0, ConnectionEnd::Unplugged});  // logging is off: nothing to account for
  SetChecked(true);
  clock.Advance(1000);
  Reading();
  recorder->CloseLogFilesAndWait(CloseReason::Shutdown);  // the client's shutdown
  recorder.reset();                                      // and the destructor's

  std::vector<std::string> reasons;
  for (const auto& closed : Events("file_closed")) reasons.push_back(closed["reason"]);
  EXPECT_EQ(reasons, (std::vector<std::string>{"split", "outlet_changed", "log_switched_off", "shutdown"}));
  EXPECT_TRUE(Events("connection_ended").empty());
  const auto names = Names();
  EXPECT_EQ(names.back(), "shutdown");
  EXPECT_EQ(std::count(names.begin(), names.end(), "shutdown"), 1);
  EXPECT_EQ(Events("file_opened").size(), 4u);
}

TEST_F(JournalTest, ConnectionsAndTimeoutsAreJournalledWithTheStripsSerial) {
  SetChecked(true);
  journal->OnConnectionOpened({0, ConnectionIdentity{0x1A2B3, "01A2B3", "V2.0L10"}});
  journal->OnReadTimeouts({6, 1000, 3500});
  journal->OnConnectionEnded({3600, ConnectionEnd::ReadFailure});
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["event"], "connection_started");
  EXPECT_EQ(lines[0]["firmware"], "V2.0L10");
  EXPECT_EQ(lines[1]["count"], 6);
  EXPECT_EQ(lines[1]["first_ms"], 1000);
  EXPECT_EQ(lines[1]["last_ms"], 3500);
  EXPECT_EQ(lines[2]["reason"], "read_failure");
  for (const auto& line : lines) EXPECT_EQ(line["serial"], "1A2B3");
}

TEST_F(JournalTest, FailingLoggingIsJournalledAndTheLinesStayWholeWhenTheJournalFailsToo) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();  // opens the file and the journal
  {
    // Neither the record nor the journal's next lines fit any more.
    FileSizeLimit limit(ExpectedHeader(LOG_KIND_CURRENT).size() + 100);
    ASSERT_TRUE(limit.Active());
    Reading();
    Reading();
    const RecorderStatus status = recorder->Status();
    EXPECT_TRUE(status.failing);
    EXPECT_TRUE(status.journalFailing);
    EXPECT_NE(status.journalError.find("File too large"), std::string::npos) << status.journalError;
  }
  Reading();  // works again: the held lines go in after the journal's own note
  EXPECT_FALSE(recorder->Status().failing);
  EXPECT_FALSE(recorder->Status().journalFailing);
  EXPECT_EQ(Names(), (std::vector<std::string>{"file_opened", "journal_recovered", "logging_failed",
                                               "logging_recovered"}));
  const auto failed = Events("logging_failed");
  EXPECT_NE(failed[0]["reason"].get<std::string>().find("File too large"), std::string::npos);
  EXPECT_EQ(Events("journal_recovered")[0]["lines_lost"], 0);
}

TEST_F(JournalTest, FollowsARemovedDirectoryWhenItIsMadeAgainWithTheHeldLines) {
  SetChecked(true);
  clock.Advance(1000);
  Reading();
  std::filesystem::remove_all(dir);
  clock.Advance(1000);
  Reading();  // the file is given up: its close and the failure are held
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  clock.Advance(1000);
  Reading();
  EXPECT_FALSE(recorder->Status().journalFailing);
  EXPECT_EQ(Names(), (std::vector<std::string>{"journal_recovered", "logging_failed", "file_closed",
                                               "file_opened", "logging_recovered"}));
  EXPECT_EQ(Events("file_closed")[0]["reason"], "directory_gone");
  EXPECT_EQ(Events("logging_failed")[0]["reason"], "log directory gone: " + dir);
  EXPECT_EQ(Events("journal_recovered")[0]["lines_held"], 3);  // the two held and the one that found the file
}

}  // namespace
}  // namespace kvx::test
