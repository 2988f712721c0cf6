// The calibration fetch at the start of a connection: the exact requests a
// strip sees, the reset of a flagged record, and what failed replies decode to.
#include <algorithm>
#include <iterator>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "strip_rig.h"

namespace kvx::test {
namespace {

using namespace kvx::protocol;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kCalibratedSerial = 0x00A12;

// Memory of a strip as 8-byte reads by (page, offset). Reads of unknown places
// return zeros. A place may answer differently the first time it is read.
struct ScriptedMemory {
  std::map<std::pair<std::uint16_t, std::uint16_t>, Bytes> contents;
  std::map<std::pair<std::uint16_t, std::uint16_t>, Bytes> firstRead;

  ScriptedDriver::ReplyFn Replies() {
    return [this](std::uint32_t, const SetupFields& s) -> std::optional<Bytes> {
      if (s.bRequest != REQ_READ_MEMORY) return Bytes{};
      const auto place = std::make_pair(s.wValue, s.wIndex);
      if (const auto it = firstRead.find(place); it != firstRead.end()) {
        Bytes once = it->second;
        firstRead.erase(it);
        return once;
      }
      const auto it = contents.find(place);
      return it != contents.end() ? it->second : Bytes(8, 0);
    };
  }
};

class CalibrationFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.Connect(kCalibratedSerial);
    rig.driver.ClearCalls();
  }
  StripRig rig{{StripWithSerial(kCalibratedSerial)}};
};

TEST_F(CalibrationFetchTest, FlaggedRecordIsResetAndReadAgain) {
  ScriptedMemory memory;
  memory.contents[{0x0080, 0x0078}] = {0, 0, 0, 1, 0, 0, 0, 0};  // page 0x0300
  memory.firstRead[{0x0300, 44}] = {0x11, 0x11, 0x22, 0x22, 0x33, 0xFF, 0x44, 0x44};  // byte 5 set
  memory.contents[{0x0300, 44}] = {0xE8, 0x03, 0xB0, 0x04, 0x05, 0x00, 0xD0, 0x07};
  memory.contents[{0x0300, 52}] = {0xE8, 0x03, 0x4C, 0x04, 0x00, 0x00, 0x99, 0x99};
  rig.driver.SetReply(memory.Replies());

  const auto records = FetchCalibration(rig.device, rig.selected);

  const std::vector<SetupFields> expected{
      In(0xA2, 0x0080, 0x0078, 8),
      In(0xA2, 0x0300, 30, 8), In(0xA2, 0x0300, 38, 8),
      In(0xA2, 0x0300, 44, 8),
      Out(0x15, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2), Out(0x05, 0x0300), Out(0x06, 0x0230), Out(0x07, 0x0300),
      Out(0x09, 0),
      In(0xA2, 0x0300, 44, 8), In(0xA2, 0x0300, 52, 8),
      In(0xA2, 0x0300, 58, 8), In(0xA2, 0x0300, 66, 8),
      In(0xA2, 0x0300, 72, 8), In(0xA2, 0x0300, 80, 8),
  };
  EXPECT_EQ(Transfers(rig.driver), expected);
  EXPECT_EQ(records[1], (ChannelCalibration{1000, 1200, 5, 2000, 1000, 1100, 0}));
  EXPECT_EQ(records[0], ChannelCalibration{});
  EXPECT_EQ(rig.driver.OpenHandles(), 0);
}

TEST_F(CalibrationFetchTest, RepeatedReadIsUsedWhateverItHolds) {
  ScriptedMemory memory;
  memory.contents[{0x0080, 0x0078}] = {0, 0, 0, 2, 0, 0, 0, 0};  // page 0x0380
  memory.contents[{0x0380, 72}] = {0x01, 0x00, 0x02, 0x00, 0x03, 0x80, 0x04, 0x00};  // stays flagged
  memory.contents[{0x0380, 80}] = {0x05, 0x00, 0x06, 0x00, 0x07, 0x00, 0x00, 0x00};
  rig.driver.SetReply(memory.Replies());

  const auto records = FetchCalibration(rig.device, rig.selected);
  EXPECT_EQ(records[3], (ChannelCalibration{1, 2, 0x8003, 4, 5, 6, 7}));
  const auto transfers = Transfers(rig.driver);
  EXPECT_EQ(std::count(transfers.begin(), transfers.end(), In(0xA2, 0x0380, 72, 8)), 2);  // once repeated
  EXPECT_EQ(std::count(transfers.begin(), transfers.end(), Out(0x06, 0x024C)), 1);
}

TEST_F(CalibrationFetchTest, FailingRepliesDecodeAsZeros) {
  rig.driver.SetReply([](std::uint32_t, const SetupFields&) { return std::nullopt; });
  const auto records = FetchCalibration(rig.device, rig.selected);
  for (const ChannelCalibration& record : records) EXPECT_EQ(record, ChannelCalibration{});
  // A failed selector read leaves byte 3 zero: page 0x7D80. Nothing is flagged.
  const auto transfers = Transfers(rig.driver);
  ASSERT_EQ(transfers.size(), 9u);
  EXPECT_EQ(transfers[1], In(0xA2, 0x7D80, 30, 8));
  EXPECT_EQ(transfers[8], In(0xA2, 0x7D80, 80, 8));
}

TEST_F(CalibrationFetchTest, FailedRepeatedReadDoesNotKeepTheFlaggedBytes) {
  auto firstReads = std::make_shared<int>(0);
  rig.driver.SetReply([firstReads](std::uint32_t, const SetupFields& s) -> std::optional<Bytes> {
    if (s.wValue == 0x0080) return Bytes{0, 0, 0, 1, 0, 0, 0, 0};
    if (s.wIndex == 30 && ++*firstReads == 1) return Bytes{9, 9, 9, 9, 9, 9, 9, 9};  // flagged
    if (s.wIndex == 30) return std::nullopt;                                         // the repeat fails
    if (s.wIndex == 38) return Bytes{0x10, 0, 0x20, 0, 0x30, 0, 0, 0};
    return Bytes(8, 0);
  });
  const auto records = FetchCalibration(rig.device, rig.selected);
  EXPECT_EQ(records[0], (ChannelCalibration{0, 0, 0, 0, 0x10, 0x20, 0x30}));
}

TEST_F(CalibrationFetchTest, ShortReplyLeavesZeros) {
  rig.driver.SetReply([](std::uint32_t, const SetupFields& s) -> std::optional<Bytes> {
    if (s.wValue == 0x0080) return Bytes{0, 0, 0, 1};
    if (s.wIndex == 38) return Bytes{0x34, 0x12, 0x78};
    return Bytes{0xFF, 0xFF};
  });
  const auto records = FetchCalibration(rig.device, rig.selected);
  EXPECT_EQ(records[0], (ChannelCalibration{0xFFFF, 0, 0, 0, 0x1234, 0x0078, 0}));
}

// A strip with outlets 2 and 4 flagged on page 0x0300; the reset, when it
// reaches the strip, clears the flag of the outlet it names.
struct FlaggedStrip {
  explicit FlaggedStrip(ScriptedDriver& driver) {
    memory.contents[{0x0080, 0x0078}] = {0, 0, 0, 1, 0, 0, 0, 0};
    memory.contents[{0x0300, 44}] = {0x11, 0x11, 0x22, 0x22, 0x33, 0xFF, 0x44, 0x44};
    memory.contents[{0x0300, 72}] = {0x01, 0x00, 0x02, 0x00, 0x03, 0x80, 0x04, 0x00};
    driver.SetReply(memory.Replies());
  }
  ScriptedMemory memory;
};

std::vector<SetupFields> ResetSteps(const std::vector<SetupFields>& transfers) {
  std::vector<SetupFields> steps;
  std::copy_if(transfers.begin(), transfers.end(), std::back_inserter(steps),
               [](const SetupFields& s) { return s.bmRequestType == REQUEST_TYPE_OUT; });
  return steps;
}

TEST_F(CalibrationFetchTest, WithoutAnUnlockCodeFlaggedRecordsAreUsedAsReadAndSaidOncePerRun) {
  FlaggedStrip strip(rig.driver);
  rig.driver.SetUnlockCode(std::nullopt);
  std::vector<std::string> notices;
  rig.device.SetNoticeSink([&](const std::string& line) { notices.push_back(line); });

  for (int connection = 0; connection < 3; ++connection) {
    rig.driver.ClearCalls();
    const auto records = FetchCalibration(rig.device, rig.selected);
    const auto transfers = Transfers(rig.driver);
    EXPECT_TRUE(ResetSteps(transfers).empty());
    EXPECT_EQ(transfers.size(), 9u);  // selector and eight record reads, none repeated
    EXPECT_EQ(records[1], (ChannelCalibration{0x1111, 0x2222, 0xFF33, 0x4444, 0, 0, 0}));  // as read
    EXPECT_EQ(records[3], (ChannelCalibration{1, 2, 0x8003, 4, 0, 0, 0}));
  }
  ASSERT_EQ(notices.size(), 1u);  // two flagged outlets, three connections, one line
  EXPECT_EQ(notices[0],
            "kvxclient: the calibration record of outlet 2 of S/N=00A12 is flagged; without the strip's unlock code "
            "(--unlock-code=W1:W2) it is used as read, not reset (said once: other flagged records are kept alike)");
  EXPECT_FALSE(rig.device.ResetChannelRecord(rig.selected, 2));  // nor when asked directly
  EXPECT_TRUE(ResetSteps(Transfers(rig.driver)).empty());
}

TEST_F(CalibrationFetchTest, TheResetIsUnlockedWithTheDriversCode) {
  FlaggedStrip strip(rig.driver);
  rig.driver.SetUnlockCode(device::AccessCode{0x12AB, 0x34CD});
  std::vector<std::string> notices;
  rig.device.SetNoticeSink([&](const std::string& line) { notices.push_back(line); });
  FetchCalibration(rig.device, rig.selected);
  const std::vector<SetupFields> steps = ResetSteps(Transfers(rig.driver));
  ASSERT_EQ(steps.size(), 10u);  // five steps for each flagged outlet
  EXPECT_EQ(steps[0], Out(0x15, 0x12AB, 0x34CD));
  EXPECT_EQ(steps[2], Out(0x06, 0x0230));
  EXPECT_EQ(steps[5], Out(0x15, 0x12AB, 0x34CD));
  EXPECT_EQ(steps[7], Out(0x06, 0x024C));
  EXPECT_TRUE(notices.empty());
}

TEST_F(CalibrationFetchTest, NothingSelectedSendsNothing) {
  rig.selected = 0;
  const auto records = FetchCalibration(rig.device, rig.selected);
  for (const ChannelCalibration& record : records) EXPECT_EQ(record, ChannelCalibration{});
  EXPECT_TRUE(rig.driver.Calls().empty());
}

}  // namespace
}  // namespace kvx::test
