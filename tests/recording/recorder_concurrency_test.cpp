#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "recorder_fixture.h"

namespace kvx::test {
namespace {

using RecorderConcurrencyTest = RecorderTest;

// The acquisition thread logs every reading of both kinds while the window's
// thread closes the files over and over: every file must still be one whole
// header followed by whole records, and no record may be lost.
TEST_F(RecorderConcurrencyTest, ClosingWhileLoggingLeavesOnlyWholeHeadedFiles) {
  constexpr int kReadings = 2000;
  state.logIntervalSec = 0;
  SetChecked(true);
  std::atomic<bool> done{false};
  std::thread acquisition([&] {
    for (int i = 0; i < kReadings; ++i) {
      clock.Advance(1);
      Reading(i % 3 == 0 ? LOG_KIND_POWER : LOG_KIND_CURRENT, i % 5 != 0);
    }
    done = true;
  });
  int closes = 0;
  while (!done) {
    recorder->CloseLogFiles();
    (void)recorder->Status();
    ++closes;
    std::this_thread::yield();
  }
  acquisition.join();
  recorder.reset();

  // Channel fields are five digits wide in current files, four in power files.
  const std::regex currentRecord(
      R"(2026/12/06 \d\d:\d\d:\d\d,(on|off),\d{5},\d{5},\d{5},\d{5},\d{3},\d?\d\.\d\d,31\.25\r\n)");
  const std::regex powerRecord(
      R"(2026/12/06 \d\d:\d\d:\d\d,(on|off),\d{4},\d{4},\d{4},\d{4},\d{3},\d?\d\.\d\d,31\.25\r\n)");
  std::size_t records = 0;
  for (const auto& name : Files()) {
    const int kind = name.find("_ALL_W_") != std::string::npos ? LOG_KIND_POWER : LOG_KIND_CURRENT;
    const std::string text = Contents(name);
    const std::string header = ExpectedHeader(kind);
    ASSERT_EQ(text.substr(0, header.size()), header) << name;
    ASSERT_TRUE(IsWholeLines(text)) << name;
    const auto lines = SplitLines(text.substr(header.size()));
    for (const auto& line : lines) ASSERT_TRUE(std::regex_match(line, kind == LOG_KIND_POWER ? powerRecord : currentRecord)) << name << ": " << line;
    records += lines.size();
  }
  EXPECT_EQ(records, static_cast<std::size_t>(kReadings));
  EXPECT_GT(closes, 0);
}

}  // namespace
}  // namespace kvx::test
