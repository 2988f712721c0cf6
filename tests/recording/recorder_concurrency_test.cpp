#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <sstream>
#include <thread>

#include "recorder_fixture.h"

namespace kvx::test {
namespace {

using RecorderConcurrencyTest = RecorderTest;

bool AllDigits(const std::string& text, std::size_t width) {
  if (text.size() != width) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// A record line of this test's readings: date and time, on/off, four channel
// fields of `width` digits, three-digit volts, the frequency, 31.25 degrees.
bool IsRecordLine(const std::string& line, std::size_t width) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
  if (fields.size() != 9 || fields[0].size() != 19 || fields[0].compare(0, 11, "2026/12/06 ") != 0) return false;
  if (fields[1] != "on" && fields[1] != "off") return false;
  for (std::size_t i = 2; i < 6; ++i) {
    if (!AllDigits(fields[i], width)) return false;
  }
  const std::size_t dot = fields[7].find('.');
  return AllDigits(fields[6], 3) && dot != std::string::npos && AllDigits(fields[7].substr(dot + 1), 2) &&
         fields[8] == "31.25\r\n";
}

// The acquisition thread logs every reading of both kinds while the window's
// thread closes the files over and over: every file must still be one whole
// header followed by whole records, and no record may be lost.
TEST_F(RecorderConcurrencyTest, ClosingWhileLoggingLeavesOnlyWholeHeadedFiles) {
  constexpr int kReadings = 2000;
  settings.logIntervalSec = 0;
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
    recorder->CloseLogFiles(CloseReason::ConnectionEnded);
    (void)recorder->Status();
    ++closes;
    std::this_thread::yield();
  }
  acquisition.join();
  recorder.reset();

  std::size_t records = 0;
  for (const auto& name : Files()) {
    const int kind = name.find("_ALL_W_") != std::string::npos ? LOG_KIND_POWER : LOG_KIND_CURRENT;
    const std::string text = Contents(name);
    const std::string header = ExpectedHeader(kind);
    ASSERT_EQ(text.substr(0, header.size()), header) << name;
    ASSERT_TRUE(IsWholeLines(text)) << name;
    const auto lines = SplitLines(text.substr(header.size()));
    const std::size_t width = kind == LOG_KIND_POWER ? 4 : 5;
    for (const auto& line : lines) ASSERT_TRUE(IsRecordLine(line, width)) << name << ": " << line;
    records += lines.size();
  }
  EXPECT_EQ(records, static_cast<std::size_t>(kReadings));
  EXPECT_GT(closes, 0);
}

}  // namespace
}  // namespace kvx::test
