// The request trace (one stable line per control call and read) and the
// per-strip request log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "sim_test_util.h"

namespace kvx::sim::test {
namespace {

using namespace kvx::protocol;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; in >> field;) fields.push_back(field);
  return fields;
}

bool IsHex(std::string_view text, bool upper, std::size_t length = 0) {
  if (text.empty() || (length != 0 && text.size() != length)) return false;
  return std::all_of(text.begin(), text.end(), [&](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || (upper ? (c >= 'A' && c <= 'F') : (c >= 'a' && c <= 'f'));
  });
}

bool IsTime(const std::string& text) {
  const std::size_t dot = text.find('.');
  return dot != std::string::npos && dot > 0 && text.size() == dot + 4 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)); });
}

bool Starts(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

bool IsSetup(const std::string& text) {
  return Starts(text, "setup=") && text.size() == 26 && IsHex(text.substr(6, 2), true) && text[8] == ':' &&
         IsHex(text.substr(9, 2), true) && text[11] == ':' && IsHex(text.substr(12, 4), true) && text[16] == ':' &&
         IsHex(text.substr(17, 4), true) && text[21] == ':' && IsHex(text.substr(22, 4), true);
}

// "<ms> sn=1A2B3 on=pipe ctl=... code=... setup=...|in=... result=... returned=... reply=..."
bool IsControlLine(const std::string& line) {
  const auto f = Fields(line);
  return f.size() == 9 && IsTime(f[0]) && f[1] == "sn=1A2B3" && f[2] == "on=pipe" &&
         (f[3] == "ctl=TRANSFER" || f[3] == "ctl=SET_EVENT") && Starts(f[4], "code=") &&
         IsHex(f[4].substr(5), true, 8) && (IsSetup(f[5]) || (Starts(f[5], "in=") && IsHex(f[5].substr(3), false))) &&
         (f[6] == "result=ok" || f[6] == "result=fail") && Starts(f[7], "returned=") &&
         IsHex(f[7].substr(9), false) && Starts(f[8], "reply=") && (f[8] == "reply=-" || IsHex(f[8].substr(6), false));
}

bool IsCompletedReadLine(const std::string& line) {
  const auto f = Fields(line);
  return f.size() == 7 && IsTime(f[0]) && f[1] == "sn=1A2B3" && f[2] == "on=pipe" && f[3] == "read" &&
         f[4] == "status=completed" && f[5] == "bytes=16" && Starts(f[6], "data=") && IsHex(f[6].substr(5), false, 32);
}

TEST(SimTrace, OneLinePerControlCallAndRead) {
  SimDriver driver(OneStrip({LoadSpec::Heater(1000.0)}), Manual());
  std::ostringstream out;
  driver.SetTrace(&out);
  driver.AdvanceClock(std::chrono::milliseconds(1234));
  const device::Handle iface = driver.Open(driver.DevicePath(0));
  Transfer(driver, iface, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3);
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  ReadOnce(driver, pipe);
  Transfer(driver, pipe, REQUEST_TYPE_OUT, REQ_SELECT_QUANTITY, 0x20, 0, 0);
  SendCode(driver, pipe, IOCTL_STRIP_STOP);
  ReadOnce(driver, pipe);
  driver.Close(pipe);
  ReadOnce(driver, pipe);
  ReadOnce(driver, iface);
  SendCode(driver, pipe, IOCTL_STRIP_STOP);
  driver.SetTrace(static_cast<std::ostream*>(nullptr));
  Transfer(driver, iface, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3);  // not traced any more

  EXPECT_EQ(Lines(out.str()), (std::vector<std::string>{
      "1234.000 sn=1A2B3 on=iface ctl=TRANSFER code=00222024 setup=C0:C1:0000:0000:0003 result=ok returned=3 reply=01a2b3",
      "1234.000 sn=1A2B3 on=pipe ctl=SET_EVENT code=00222010 in=34120000 result=ok returned=0 reply=-",
      "1234.000 sn=1A2B3 on=pipe read status=completed bytes=16 data=80000030000000001027000000000000",
      "1234.000 sn=1A2B3 on=pipe ctl=TRANSFER code=00222024 setup=40:20:0020:0000:0000 result=fail returned=0 reply=-",
      "1234.000 sn=1A2B3 on=pipe ctl=STOP code=00222004 in=- result=ok returned=0 reply=-",
      "1234.000 sn=1A2B3 on=pipe read status=failed bytes=0 data=-",
      "1234.000 sn=- on=- read status=failed bytes=0 data=-",
      "1234.000 sn=1A2B3 on=iface read status=failed bytes=0 data=-",
      "1234.000 sn=- on=- ctl=STOP code=00222004 in=- result=fail returned=0 reply=-",
  }));
}

TEST(SimTrace, TimeOutsAndCancelsAreTraced) {
  SimDriver driver(OneStrip(), Manual());
  std::ostringstream out;
  driver.SetTrace(&out);
  const device::Handle pipe = driver.Open(driver.DevicePath(0) + "\\PIPE00");
  ReadOnce(driver, pipe, std::chrono::milliseconds(1));
  EXPECT_EQ(out.str(), "0.000 sn=1A2B3 on=pipe read status=timedout bytes=0 data=-\n");
}

TEST(SimTrace, FileTraceFromSeveralThreadsKeepsWholeLines) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("kvx_sim_trace_" + std::to_string(::getpid()) + ".txt")).string();
  {
    SimDriver driver(OneStrip({LoadSpec::Smps(100.0)}));
    std::string error;
    ASSERT_TRUE(driver.OpenTrace(path, error)) << error;
    std::thread reader([&] {
      const device::Handle pipe = OpenArmedPipe(driver, 0);
      for (int k = 0; k < 300; ++k) ReadOnce(driver, pipe);
    });
    for (int k = 0; k < 300; ++k) Request(driver, 0, REQUEST_TYPE_IN, REQ_VOLTAGE, 0, 0, 1);
    reader.join();
  }
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  int controls = 0, reads = 0;
  for (const std::string& line : Lines(text.str())) {
    if (IsCompletedReadLine(line)) ++reads;
    else if (IsControlLine(line)) ++controls;
    else ADD_FAILURE() << line;
  }
  EXPECT_EQ(reads, 300);
  EXPECT_EQ(controls, 301);
  std::filesystem::remove(path);
  std::string error;
  SimDriver driver(OneStrip(), Manual());
  EXPECT_FALSE(driver.OpenTrace("/nonexistent-dir/trace.txt", error));
  EXPECT_NE(error.find("cannot open trace file"), std::string::npos);
}

TEST(SimTrace, FileHandleTrace) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  SimDriver driver(OneStrip(), Manual());
  driver.SetTrace(file);
  Request(driver, 0, REQUEST_TYPE_IN, REQ_VOLTAGE, 0, 0, 1);
  driver.SetTrace(static_cast<std::FILE*>(nullptr));
  std::rewind(file);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, file), nullptr);
  EXPECT_STREQ(line, "0.000 sn=1A2B3 on=pipe ctl=TRANSFER code=00222024 setup=C0:B0:0000:0000:0001 result=ok returned=1 reply=64\n");
  std::fclose(file);
}

TEST(SimRequestLog, KeepsTheSequenceEachStripSaw) {
  Scenario scenario;
  scenario.strips = {StripWith(0x00001, {}), StripWith(0x00002, {})};
  SimOptions options = Manual();
  options.requestLogLimit = 3;
  SimDriver driver(scenario, options);
  Request(driver, 0, REQUEST_TYPE_IN, REQ_FIRMWARE_VERSION, 0, 0, 2);
  Request(driver, 1, REQUEST_TYPE_OUT, REQ_SUSPEND);
  driver.AdvanceClock(std::chrono::milliseconds(7));
  const device::Handle iface = driver.Open(driver.DevicePath(0));
  Transfer(driver, iface, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3);

  const auto first = driver.RequestLog(0);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].setup->bRequest, REQ_FIRMWARE_VERSION);
  EXPECT_EQ(first[0].on, HandleKind::Pipe);
  EXPECT_EQ(first[0].reply, (std::vector<std::uint8_t>{0x10, 0x20}));
  EXPECT_EQ(first[1].setup->bRequest, REQ_SERIAL_NUMBER);
  EXPECT_EQ(first[1].on, HandleKind::Interface);
  EXPECT_EQ(first[1].timeMs, 7.0);
  EXPECT_EQ(first[1].bytesReturned, 3u);
  ASSERT_EQ(driver.RequestLog(1).size(), 1u);
  EXPECT_EQ(driver.RequestLog(1)[0].setup->bRequest, REQ_SUSPEND);

  for (int k = 0; k < 5; ++k) Request(driver, 0, REQUEST_TYPE_IN, REQ_VOLTAGE, 0, 0, 1);
  EXPECT_EQ(driver.RequestLog(0).size(), 3u);  // the oldest dropped first
  driver.ClearRequestLog(0);
  EXPECT_TRUE(driver.RequestLog(0).empty());
  // A call on a handle of an unplugged strip never reached it.
  driver.Unplug(0);
  Transfer(driver, iface, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3);
  EXPECT_TRUE(driver.RequestLog(0).empty());
}

// A strip polled for hours must not grow the driver: by default the log keeps
// a short ring of the latest calls, enough for an enumeration plus a
// calibration fetch, and never more.
TEST(SimRequestLog, ByDefaultKeepsOnlyTheLatestCallsOfALongRun) {
  SimDriver driver(OneStrip(), Manual());
  const device::Handle iface = driver.Open(driver.DevicePath(0));
  constexpr int kCalls = 5000;
  for (int k = 0; k < kCalls; ++k) {
    driver.AdvanceClock(std::chrono::milliseconds(1));
    Transfer(driver, iface, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3);
  }
  const auto log = driver.RequestLog(0);
  ASSERT_GE(log.size(), 20u);  // room for a whole calibration fetch
  ASSERT_LE(log.size(), 256u);
  // The newest calls, in order, the last one last.
  EXPECT_EQ(log.back().timeMs, static_cast<double>(kCalls));
  for (std::size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].timeMs, log[i - 1].timeMs + 1.0);
  driver.Close(iface);
}

}  // namespace
}  // namespace kvx::sim::test
