// The locked requests on the selected strip: which handles they open, what
// they send, how replies reach the caller, and that the lock is free after
// every failure.
#include <gtest/gtest.h>

#include "strip_rig.h"

namespace kvx::test {
namespace {

using device::INVALID_HANDLE_VALUE;
using namespace kvx::protocol;

constexpr std::uint32_t kSerial = 0x00345;

// A driver that claims more bytes than it was given room for.
class OverclaimingDriver : public ScriptedDriver {
 public:
  using ScriptedDriver::Control;
  device::ControlStatus Control(device::Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                                std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                                std::chrono::milliseconds timeout) override {
    const device::ControlStatus status = ScriptedDriver::Control(handle, code, in, out, bytesReturned, timeout);
    bytesReturned = 4096;
    return status;
  }
};

// Every request there is, each expected to fail.
void ExpectEveryRequestFails(device::DeviceAccess& device, std::int32_t serial) {
  std::string path = "stale";
  EXPECT_EQ(device.OpenDevice(serial, path), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(device.ProbeDevice(serial, path));
  EXPECT_EQ(device.OpenPipe(serial, PIPE_NAME), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(device.Request(serial, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SUSPEND, 0, 0, 0)).has_value());
  std::array<std::uint8_t, 2> dest{0x5A, 0x5A};
  EXPECT_FALSE(
      device
          .Request(serial, BuildSetupPacket(REQUEST_TYPE_IN, REQ_FIRMWARE_VERSION, 0, 0, FIRMWARE_VERSION_LENGTH), dest)
          .has_value());
  EXPECT_EQ(dest, (std::array<std::uint8_t, 2>{0x5A, 0x5A}));
  EXPECT_FALSE(device.ResetChannelRecord(serial, 1));
  EXPECT_TRUE(LockIsFree(device.deviceLock()));
}

TEST(RequestsWithoutStrip, NoStripAtAllOpensNothing) {
  StripRig rig;
  rig.Connect(kSerial);  // named on the command line, but not plugged in
  ExpectEveryRequestFails(rig.device, rig.selected);
  EXPECT_TRUE(rig.driver.OpenAttempts().empty());
  EXPECT_TRUE(rig.driver.Calls().empty());
}

TEST(RequestsWithoutStrip, NothingSelected) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(0);
  rig.driver.ClearCalls();
  const std::size_t opensBefore = rig.driver.OpenAttempts().size();
  ExpectEveryRequestFails(rig.device, rig.selected);
  EXPECT_EQ(rig.driver.OpenAttempts().size(), opensBefore);
  EXPECT_TRUE(rig.driver.Calls().empty());
}

TEST(RequestsWithoutStrip, SerialZeroMeansNoneEvenIfAStripReportsIt) {
  StripRig rig({StripWithSerial(0)});
  rig.Connect(0);
  ASSERT_EQ(rig.device.deviceCount(), 1);
  ExpectEveryRequestFails(rig.device, rig.selected);
}

TEST(RequestsWithoutStrip, SelectedStripRemovedFromTheList) {
  StripRig rig({StripWithSerial(kSerial), StripWithSerial(0x00789)});
  rig.Connect(kSerial);
  rig.driver.SetPresent(kSerial, false);
  ASSERT_EQ(rig.device.RebuildDeviceList(), 1);
  const std::size_t opensBefore = rig.driver.OpenAttempts().size();
  EXPECT_EQ(rig.device.OpenPipe(rig.selected, PIPE_NAME), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
  EXPECT_EQ(rig.driver.OpenAttempts().size(), opensBefore);
  ExpectEveryRequestFails(rig.device, rig.selected);
}

TEST(RequestsWithoutStrip, UnpluggedButStillListed) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.SetPresent(kSerial, false);
  ExpectEveryRequestFails(rig.device, rig.selected);
}

TEST(RequestsWithoutStrip, PipeThatCannotBeOpened) {
  ScriptedStrip strip = StripWithSerial(kSerial);
  strip.pipeOpenable = false;
  StripRig rig({strip});
  rig.Connect(kSerial);
  rig.driver.ClearCalls();
  EXPECT_EQ(rig.device.OpenPipe(rig.selected, PIPE_NAME), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(
      rig.device.Request(rig.selected, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SELECT_OUTLET, 1, 0, 0)).has_value());
  EXPECT_TRUE(rig.driver.Calls().empty());
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
  EXPECT_EQ(rig.driver.OpenHandles(), 0);
}

TEST(PipeAccess, OpenPipeProbesThenOpensThePipePath) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  const std::string path = StripWithSerial(kSerial).path;
  const std::size_t opensBefore = rig.driver.OpenAttempts().size();
  const device::Handle pipe = rig.device.OpenPipe(rig.selected, PIPE_NAME);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  const auto opens = rig.driver.OpenAttempts();
  EXPECT_EQ(std::vector<std::string>(opens.begin() + static_cast<std::ptrdiff_t>(opensBefore), opens.end()),
            (std::vector<std::string>{path, path + "\\PIPE00"}));
  EXPECT_EQ(rig.driver.OpenHandles(), 1);  // the probe's handle is closed again
  rig.device.ClosePipe(pipe);
  EXPECT_EQ(rig.driver.OpenHandles(), 0);
}

TEST(PipeAccess, EachControlRequestOpensItsOwnPipeOnceAndClosesIt) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.ClearCalls();
  const std::string path = StripWithSerial(kSerial).path;
  const std::size_t opensBefore = rig.driver.OpenAttempts().size();
  ASSERT_TRUE(
      rig.device.Request(rig.selected, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SELECT_OUTLET, 2, 0, 0)).has_value());
  const auto opens = rig.driver.OpenAttempts();
  EXPECT_EQ(std::vector<std::string>(opens.begin() + static_cast<std::ptrdiff_t>(opensBefore), opens.end()),
            (std::vector<std::string>{path + "\\PIPE00"}));
  EXPECT_EQ(rig.driver.OpenHandles(), 0);
  const auto calls = rig.driver.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].onPipe);
  EXPECT_EQ(calls[0].code, IOCTL_STRIP_CONTROL_TRANSFER);
  EXPECT_EQ(calls[0].input, (std::vector<std::uint8_t>{0x40, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(PipeAccess, PathsLongerThan255CharactersWork) {
  ScriptedStrip strip = StripWithSerial(kSerial);
  strip.path = "\\\\?\\usb#vid_0d8c&pid_0320#" + std::string(260, 'x') + "#{dd4154a4}";
  StripRig rig({strip});
  rig.Connect(kSerial);
  const device::Handle pipe = rig.device.OpenPipe(rig.selected, PIPE_NAME);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  EXPECT_EQ(rig.driver.OpenAttempts().back(), strip.path + "\\PIPE00");
  rig.device.ClosePipe(pipe);
  std::array<std::uint8_t, 2> firmware{};
  EXPECT_TRUE(rig.device
                  .Request(rig.selected,
                           BuildSetupPacket(REQUEST_TYPE_IN, REQ_FIRMWARE_VERSION, 0, 0, FIRMWARE_VERSION_LENGTH),
                           firmware)
                  .has_value());
  EXPECT_EQ(firmware, (std::array<std::uint8_t, 2>{0x10, 0x20}));
}

TEST(PipeAccess, SetEventAndStopGoToTheConnectionsPipe) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  const device::Handle pipe = rig.device.OpenPipe(rig.selected, PIPE_NAME);
  rig.driver.ClearCalls();
  rig.device.SendSetEvent(pipe, 0x11223344);
  rig.device.SendStop(pipe);
  const auto calls = rig.driver.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].onPipe);
  EXPECT_EQ(calls[0].code, 0x00222010u);
  EXPECT_EQ(calls[0].input, (std::vector<std::uint8_t>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_TRUE(calls[1].onPipe);
  EXPECT_EQ(calls[1].code, 0x00222004u);
  EXPECT_TRUE(calls[1].input.empty());
  EXPECT_EQ(rig.driver.OpenHandles(), 1);  // only the connection's pipe
  rig.device.ClosePipe(pipe);
}

TEST(VendorRequests, InRequestSendsTheSetupPacket) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.ClearCalls();
  std::array<std::uint8_t, 8> reply{};
  ASSERT_TRUE(rig.device
                  .Request(rig.selected,
                           BuildSetupPacket(REQUEST_TYPE_IN, REQ_READ_MEMORY, 0x0080, 0x0078, READ_MEMORY_LENGTH),
                           reply)
                  .has_value());
  EXPECT_EQ(reply[3], 1);  // the scripted page selector
  EXPECT_EQ(Transfers(rig.driver), (std::vector<SetupFields>{In(0xA2, 0x0080, 0x0078, 8)}));
}

TEST(VendorRequests, ShortReplyCopiesOnlyWhatCame) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.SetReply([](std::uint32_t, const SetupFields&) { return std::vector<std::uint8_t>{0xAA, 0xBB}; });
  std::array<std::uint8_t, 3> dest{};
  EXPECT_TRUE(
      rig.device
          .Request(rig.selected, BuildSetupPacket(REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, SERIAL_NUMBER_LENGTH), dest)
          .has_value());
  EXPECT_EQ(dest, (std::array<std::uint8_t, 3>{0xAA, 0xBB, 0x00}));
}

TEST(VendorRequests, ReplyLongerThanTheDestinationIsClamped) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.SetReply([](std::uint32_t, const SetupFields&) {
    return std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8};
  });
  std::array<std::uint8_t, 4> buffer{0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_TRUE(rig.device
                  .Request(rig.selected, BuildSetupPacket(REQUEST_TYPE_IN, REQ_READ_MEMORY, 0, 0, READ_MEMORY_LENGTH),
                           std::span(buffer).first(2))
                  .has_value());
  EXPECT_EQ(buffer, (std::array<std::uint8_t, 4>{1, 2, 0xEE, 0xEE}));
}

TEST(VendorRequests, DriverClaimingMoreThanItsBufferIsClamped) {
  OverclaimingDriver driver;
  driver.AddStrip(StripWithSerial(kSerial));
  device::DeviceAccess device(driver);
  device.RebuildDeviceList();

  std::array<std::uint8_t, 16> dest{};
  dest.fill(0xEE);
  EXPECT_TRUE(device
                  .Request(kSerial,
                           BuildSetupPacket(REQUEST_TYPE_IN, REQ_FIRMWARE_VERSION, 0, 0, FIRMWARE_VERSION_LENGTH), dest)
                  .has_value());
  EXPECT_EQ(dest[0], 0x10);
  EXPECT_EQ(dest[1], 0x20);
  EXPECT_EQ(dest[7], 0x00);  // the 8-byte reply buffer, zeroed
  EXPECT_EQ(dest[8], 0xEE);  // nothing beyond it
}

TEST(VendorRequests, FailedInRequestLeavesTheDestinationAlone) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.SetReply([](std::uint32_t, const SetupFields&) { return std::nullopt; });
  std::array<std::uint8_t, 2> dest{0x12, 0x34};
  EXPECT_FALSE(
      rig.device
          .Request(rig.selected, BuildSetupPacket(REQUEST_TYPE_IN, REQ_TEMPERATURE, 0, 0, TEMPERATURE_LENGTH), dest)
          .has_value());
  EXPECT_EQ(dest, (std::array<std::uint8_t, 2>{0x12, 0x34}));
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
}

TEST(ResetSequence, OutletsOutsideOneToFourSendNothing) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.ClearCalls();
  const std::size_t opensBefore = rig.driver.OpenAttempts().size();
  EXPECT_FALSE(rig.device.ResetChannelRecord(rig.selected, 0));
  EXPECT_FALSE(rig.device.ResetChannelRecord(rig.selected, 5));
  EXPECT_FALSE(rig.device.ResetChannelRecord(rig.selected, -1));
  EXPECT_TRUE(rig.driver.Calls().empty());
  EXPECT_EQ(rig.driver.OpenAttempts().size(), opensBefore);
}

TEST(ResetSequence, FiveStepsInOrderForEachOutlet) {
  const std::uint16_t addresses[] = {0x0222, 0x0230, 0x023E, 0x024C};
  for (int outlet = 1; outlet <= 4; ++outlet) {
    StripRig rig({StripWithSerial(kSerial)});
    rig.Connect(kSerial);
    rig.driver.ClearCalls();
    EXPECT_TRUE(rig.device.ResetChannelRecord(rig.selected, outlet));
    EXPECT_EQ(Transfers(rig.driver),
              (std::vector<SetupFields>{Out(0x15, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2), Out(0x05, 0x0300),
                                        Out(0x06, addresses[outlet - 1]), Out(0x07, 0x0300), Out(0x09, 0)}))
        << "outlet " << outlet;
    for (const ControlCall& call : rig.driver.Calls()) EXPECT_TRUE(call.onPipe);
    EXPECT_EQ(rig.driver.OpenHandles(), 0);
  }
}

TEST(ResetSequence, ReportsTheLastStepAndSendsAllWhateverFails) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.SetOutResult([](std::uint32_t, const SetupFields& s) { return s.bRequest != REQ_UNLOCK; });
  rig.driver.ClearCalls();
  EXPECT_TRUE(rig.device.ResetChannelRecord(rig.selected, 2));
  EXPECT_EQ(Transfers(rig.driver).size(), 5u);

  rig.driver.SetOutResult([](std::uint32_t, const SetupFields& s) { return s.bRequest != REQ_RESET_STEP_09; });
  rig.driver.ClearCalls();
  EXPECT_FALSE(rig.device.ResetChannelRecord(rig.selected, 2));
  EXPECT_EQ(Transfers(rig.driver).size(), 5u);
  EXPECT_TRUE(LockIsFree(rig.device.deviceLock()));
}

TEST(ResetSequence, NoRequestFromAnotherThreadComesBetweenTheSteps) {
  StripRig rig({StripWithSerial(kSerial)});
  rig.Connect(kSerial);
  rig.driver.ClearCalls();
  constexpr int kRounds = 50;
  std::thread other([&] {
    for (int i = 0; i < kRounds * 5; ++i)
      rig.device.Request(rig.selected, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SUSPEND, 0, 0, 0));
  });
  for (int i = 0; i < kRounds; ++i) rig.device.ResetChannelRecord(rig.selected, 1 + i % 4);
  other.join();

  const auto transfers = Transfers(rig.driver);
  ASSERT_EQ(transfers.size(), static_cast<std::size_t>(kRounds * 10));
  for (std::size_t k = 0; k < transfers.size(); ++k) {
    if (transfers[k].bRequest != REQ_UNLOCK) continue;
    ASSERT_LE(k + 5, transfers.size());
    EXPECT_EQ(transfers[k + 1].bRequest, REQ_RESET_STEP_05);
    EXPECT_EQ(transfers[k + 2].bRequest, REQ_RESET_STEP_06);
    EXPECT_EQ(transfers[k + 3].bRequest, REQ_RESET_STEP_07);
    EXPECT_EQ(transfers[k + 4].bRequest, REQ_RESET_STEP_09);
  }
}

}  // namespace
}  // namespace kvx::test
