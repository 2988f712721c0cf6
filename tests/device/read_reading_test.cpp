// ReadReading on a connection's pipe: what each outcome of the bounded wait
// gives the caller, and that the lock is held for the wait and free after it.
#include <atomic>

#include <gtest/gtest.h>

#include "strip_rig.h"

namespace kvx::test {
namespace {

using device::INVALID_HANDLE_VALUE;
using namespace kvx::protocol;

constexpr std::uint32_t kReadSerial = 0x12ABC;

class ReadReadingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.Connect(kReadSerial);
    pipe = rig.device.OpenPipe(rig.selected, PIPE_NAME);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    rig.driver.ClearCalls();
    buffer.fill(0xEE);  // must be zeroed by the read
  }
  void TearDown() override { rig.device.ClosePipe(pipe); }

  StripRig rig{{StripWithSerial(kReadSerial)}};
  device::Handle pipe = INVALID_HANDLE_VALUE;
  ReadingBytes buffer{};
};

TEST_F(ReadReadingTest, CompletedReadDeliversTheBytes) {
  const ReadingBytes capture{0x80, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00,
                             0xE8, 0x03, 0xD0, 0x07, 0xB8, 0x0B, 0xA0, 0x0F};
  ScriptedRead read;
  read.bytes = capture;
  rig.driver.QueueRead(kReadSerial, read);
  EXPECT_EQ(rig.device.ReadReading(pipe, buffer), std::optional<std::uint32_t>(16));
  EXPECT_EQ(buffer, capture);
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
}

TEST_F(ReadReadingTest, ShortReadLeavesTheRestZero) {
  ScriptedRead read = ScriptedRead::Of(Reading{0x05, 0x01, {0x1111, 0x2222, 0x3333, 0x4444}});
  read.length = 10;
  rig.driver.QueueRead(kReadSerial, read);
  EXPECT_EQ(rig.device.ReadReading(pipe, buffer), std::optional<std::uint32_t>(10));
  EXPECT_EQ(buffer, (ReadingBytes{0x05, 0, 0, 0x01, 0, 0, 0, 0, 0x11, 0x11, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ReadReadingTest, EmptyReadGivesZeroBytes) {
  rig.driver.QueueRead(kReadSerial, ScriptedRead::EmptyRead());
  EXPECT_EQ(rig.device.ReadReading(pipe, buffer), std::optional<std::uint32_t>(0));
  EXPECT_EQ(buffer, ReadingBytes{});
}

TEST_F(ReadReadingTest, TimeOutGivesZeroBytesAndFreesTheLock) {
  rig.device.setReadTimeout(std::chrono::milliseconds(1));
  EXPECT_EQ(rig.device.ReadReading(pipe, buffer), std::optional<std::uint32_t>(0));
  EXPECT_EQ(buffer, ReadingBytes{});
  EXPECT_EQ(rig.driver.ReadCount(), 1);
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
  // The connection goes on: the next reading arrives normally.
  rig.driver.QueueRead(kReadSerial, ScriptedRead::Of(Reading{0x80, 0x30, {1, 2, 3, 4}}));
  EXPECT_EQ(rig.device.ReadReading(pipe, buffer), std::optional<std::uint32_t>(16));
}

TEST_F(ReadReadingTest, CancelWakesAWaitThatHoldsTheLock) {
  // A wait that only the cancel can end: if it did not, the test would hang.
  rig.device.setReadTimeout(std::chrono::hours(1));
  std::optional<std::uint32_t> result = 99;
  std::thread reader([&] { result = rig.device.ReadReading(pipe, buffer); });
  while (rig.driver.ReadCount() == 0) std::this_thread::yield();
  EXPECT_FALSE(LockIsFree(rig.device.deviceLock()));  // held across the whole wait
  rig.device.CancelPendingRead(pipe);
  reader.join();
  EXPECT_EQ(result, std::optional<std::uint32_t>(0));
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
}

TEST_F(ReadReadingTest, RequestFromAnotherThreadWaitsForThePendingReading) {
  rig.device.setReadTimeout(std::chrono::hours(1));
  std::thread reader([&] { rig.device.ReadReading(pipe, buffer); });
  while (rig.driver.ReadCount() == 0) std::this_thread::yield();
  std::atomic<bool> sent{false};
  std::thread notice([&] {
    sent = rig.device.Request(rig.selected, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SUSPEND, 0, 0, 0)).has_value();
  });
  for (int i = 0; i < 100; ++i) std::this_thread::yield();
  EXPECT_TRUE(Transfers(rig.driver).empty());  // still queued behind the read
  rig.driver.QueueRead(kReadSerial, ScriptedRead::Of(Reading{0x80, 0x30, {}}));
  reader.join();
  notice.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(Transfers(rig.driver), (std::vector<SetupFields>{Out(REQ_SUSPEND, 0)}));
}

TEST_F(ReadReadingTest, FailedReadIsReportedWithTheLockFree) {
  rig.driver.QueueRead(kReadSerial, ScriptedRead::Failure());
  EXPECT_EQ(rig.device.ReadReading(pipe, buffer), std::nullopt);
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
}

TEST_F(ReadReadingTest, UnpluggedStripFailsTheRead) {
  rig.driver.SetPresent(kReadSerial, false);
  EXPECT_EQ(rig.device.ReadReading(pipe, buffer), std::nullopt);
  EXPECT_EQ(rig.device.ReadReading(INVALID_HANDLE_VALUE, buffer), std::nullopt);
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
}

// A driver that reports more bytes than the reading holds.
class OverlongReadDriver : public ScriptedDriver {
 public:
  device::ReadResult Read(device::Handle handle, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override {
    device::ReadResult result = ScriptedDriver::Read(handle, buffer, timeout);
    if (result.status == device::ReadStatus::Completed) result.bytes = 64;
    return result;
  }
};

TEST(ReadReadingClamp, CountNeverExceedsTheReading) {
  OverlongReadDriver driver;
  driver.AddStrip(StripWithSerial(kReadSerial));
  device::DeviceAccess device(driver);
  device.RebuildDeviceList();
  const device::Handle pipe = device.OpenPipe(kReadSerial, PIPE_NAME);
  driver.QueueRead(kReadSerial, ScriptedRead::Of(Reading{1, 1, {}}));
  ReadingBytes buffer{};
  EXPECT_EQ(device.ReadReading(pipe, buffer), std::optional<std::uint32_t>(READING_SIZE));
  device.ClosePipe(pipe);
}

}  // namespace
}  // namespace kvx::test
