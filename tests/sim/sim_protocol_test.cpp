// The simulated strip answers every vendor request with its reply layout,
// honours the reset sequence and the page selector, and injects reply faults.
#include <gtest/gtest.h>

#include "device/device_access.h"
#include "sim_test_util.h"

namespace kvx::sim::test {
namespace {

using namespace kvx::protocol;
using Bytes = std::vector<std::uint8_t>;

class SimReplies : public ::testing::Test {
 protected:
  SimReplies() : driver_(Described(), Manual()) {}
  static Scenario Described() {
    Scenario scenario = OneStrip();
    StripSpec& strip = scenario.strips[0];
    strip.serial = 0x0123AB;
    strip.firmware = {0x0C, 0x26};
    strip.volts = 101;
    strip.linePeriodCount = 33333;
    strip.temperatureCount = 2871;
    return scenario;
  }
  Reply In(std::uint8_t request, std::uint16_t length, std::uint16_t value = 0, std::uint16_t index = 0) {
    return Request(driver_, 0, REQUEST_TYPE_IN, request, value, index, length);
  }
  SimDriver driver_;
};

TEST_F(SimReplies, EveryInRequestReturnsItsLayout) {
  EXPECT_EQ(In(REQ_FIRMWARE_VERSION, 2).bytes, (Bytes{0x0C, 0x26}));
  EXPECT_EQ(In(REQ_SERIAL_NUMBER, 3).bytes, (Bytes{0x01, 0x23, 0xAB}));
  EXPECT_EQ(In(REQ_LINE_PERIOD, 8).bytes, (Bytes{0x35, 0x82, 0, 0, 0, 0, 0, 0}));  // 33333
  EXPECT_EQ(In(REQ_VOLTAGE, 1).bytes, (Bytes{101}));
  EXPECT_EQ(In(REQ_TEMPERATURE, 2).bytes, (Bytes{0x37, 0x0B}));  // 2871
  EXPECT_EQ(In(REQ_READ_MEMORY, 8, PAGE_SELECTOR_PAGE, PAGE_SELECTOR_OFFSET).bytes, (Bytes{0, 0, 0, 1, 0, 0, 0, 0}));
  for (const Reply& r : {In(REQ_FIRMWARE_VERSION, 2), In(REQ_VOLTAGE, 1)}) EXPECT_TRUE(r.ok);
}

TEST_F(SimReplies, ReplyIsNeverLongerThanTheLayoutWLengthOrTheBuffer) {
  EXPECT_EQ(In(REQ_VOLTAGE, 8).bytes.size(), 1u);        // layout shorter than asked
  EXPECT_EQ(In(REQ_SERIAL_NUMBER, 2).bytes, (Bytes{0x01, 0x23}));  // asked fewer
  EXPECT_TRUE(In(REQ_SERIAL_NUMBER, 0).bytes.empty());
  const device::Handle pipe = driver_.Open(driver_.DevicePath(0) + "\\PIPE00");
  const Reply tiny = Transfer(driver_, pipe, REQUEST_TYPE_IN, REQ_READ_MEMORY, 0x0300, 30, 8, 3);
  EXPECT_TRUE(tiny.ok);
  EXPECT_EQ(tiny.bytes.size(), 3u);  // buffer smaller than the layout
  const Reply big = Transfer(driver_, pipe, REQUEST_TYPE_OUT, REQ_SELECT_OUTLET, 1, 0, 0, 1024);
  EXPECT_TRUE(big.ok);
  EXPECT_TRUE(big.bytes.empty());  // OUT requests have no data stage
  driver_.Close(pipe);
}

TEST_F(SimReplies, MalformedOrUnknownRequestsFail) {
  EXPECT_FALSE(In(0x77, 8).ok);
  EXPECT_FALSE(Request(driver_, 0, REQUEST_TYPE_OUT, REQ_SELECT_OUTLET, 5).ok);
  EXPECT_FALSE(Request(driver_, 0, REQUEST_TYPE_OUT, REQ_SELECT_QUANTITY, 0x20).ok);
  EXPECT_FALSE(Request(driver_, 0, REQUEST_TYPE_OUT, REQ_VOLTAGE, 0, 0, 1).ok);  // wrong direction
  EXPECT_FALSE(Request(driver_, 0, 0x21, REQ_SUSPEND).ok);
  const device::Handle pipe = driver_.Open(driver_.DevicePath(0) + "\\PIPE00");
  const std::array<std::uint8_t, 7> shortPacket{};
  std::array<std::uint8_t, 8> out{};
  std::uint32_t returned = 99;
  EXPECT_FALSE(driver_.Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, shortPacket, out, returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_FALSE(driver_.Control(pipe, 0x00222008, {}, {}, returned));  // a code the driver lacks
  EXPECT_FALSE(driver_.Control(12345, IOCTL_STRIP_STOP, {}, {}, returned));
  driver_.Close(pipe);
}

TEST_F(SimReplies, OutRequestsAndSelectionsSucceed) {
  for (std::uint8_t request : {REQ_SUSPEND, REQ_RESET_STEP_05, REQ_RESET_STEP_09})
    EXPECT_TRUE(Request(driver_, 0, REQUEST_TYPE_OUT, request).ok);
  EXPECT_TRUE(SelectOutlet(driver_, 0, 3));
  EXPECT_TRUE(SelectQuantity(driver_, 0, QUANTITY_POWER));
  EXPECT_EQ(driver_.Status(0).selectedOutlet, 3);
  EXPECT_EQ(driver_.Status(0).quantity, QUANTITY_POWER);
}

TEST_F(SimReplies, SerialRequestOnTheInterfacePathUsesOneBufferForInputAndOutput) {
  const device::Handle handle = driver_.Open(driver_.DevicePath(0));
  std::array<std::uint8_t, 8> buffer = BuildSetupPacket(REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3);
  std::uint32_t returned = 0;
  ASSERT_TRUE(driver_.Control(handle, IOCTL_STRIP_CONTROL_TRANSFER, buffer, buffer, returned));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(DecodeSerialNumber(std::span<const std::uint8_t, 3>(buffer.data(), 3)), 0x0123ABu);
  driver_.Close(handle);
}

TEST_F(SimReplies, ReplyFaultsFailOrShortenChosenRequestsForSomeCalls) {
  driver_.SetReplyFaults(0, {ReplyFault{REQ_VOLTAGE, ReplyFaultMode::Fail, 0, 2, HandleScope::Any},
                             ReplyFault{REQ_SERIAL_NUMBER, ReplyFaultMode::Short, 1, 0, HandleScope::Pipe}});
  EXPECT_FALSE(In(REQ_VOLTAGE, 1).ok);
  EXPECT_FALSE(In(REQ_VOLTAGE, 1).ok);
  EXPECT_TRUE(In(REQ_VOLTAGE, 1).ok);  // only the first two calls
  for (int k = 0; k < 3; ++k) EXPECT_EQ(In(REQ_SERIAL_NUMBER, 3).bytes, (Bytes{0x01}));
  // The short reply was limited to pipe handles: the interface path answers in full.
  const device::Handle handle = driver_.Open(driver_.DevicePath(0));
  EXPECT_EQ(Transfer(driver_, handle, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3).bytes, (Bytes{0x01, 0x23, 0xAB}));
  driver_.Close(handle);
}

TEST_F(SimReplies, ATimedOutRequestIsWithdrawnAndNeverActedOn) {
  using namespace std::chrono_literals;
  // Selecting outlet 2 hangs once; the strip must not switch when the call gives up.
  driver_.SetReplyFaults(0, {ReplyFault{REQ_SELECT_OUTLET, ReplyFaultMode::Hang, 0, 1, HandleScope::Any}});
  const device::Handle pipe = driver_.Open(driver_.DevicePath(0) + "\\PIPE00");
  const SetupPacket select = BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SELECT_OUTLET, 2, 0, 0);
  std::uint32_t returned = 0;
  EXPECT_EQ(driver_.Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, select, {}, returned, 10ms),
            device::ControlStatus::TimedOut);
  EXPECT_EQ(driver_.Status(0).selectedOutlet, 0);
  EXPECT_EQ(driver_.PendingControlCount(), 0);
  // The fault covered one call: the next selection goes through at once.
  EXPECT_EQ(driver_.Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, select, {}, returned, 10ms), device::ControlStatus::Ok);
  EXPECT_EQ(driver_.Status(0).selectedOutlet, 2);
  driver_.Close(pipe);
}

TEST_F(SimReplies, ASlowReplyCarriesTheNormalAnswerAndOtherRulesStillApply) {
  using namespace std::chrono_literals;
  driver_.SetReplyFaults(0, {ReplyFault{REQ_VOLTAGE, ReplyFaultMode::Slow, 0, 1, HandleScope::Any, 20},
                             ReplyFault{REQ_VOLTAGE, ReplyFaultMode::Short, 0, 0, HandleScope::Any}});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(In(REQ_VOLTAGE, 1).bytes, (Bytes{101}));  // the slow rule is first: full answer, late
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  EXPECT_EQ(In(REQ_VOLTAGE, 1).bytes, (Bytes{}));  // its one call used: the short rule applies
}

TEST_F(SimReplies, SilentEnumerationSerialFailsOnlyOnTheInterfacePath) {
  driver_.SetSilentEnumerationSerial(0, true);
  const device::Handle handle = driver_.Open(driver_.DevicePath(0));
  EXPECT_FALSE(Transfer(driver_, handle, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3).ok);
  EXPECT_TRUE(Transfer(driver_, handle, REQUEST_TYPE_IN, REQ_FIRMWARE_VERSION, 0, 0, 2).ok);
  driver_.Close(handle);
  EXPECT_TRUE(In(REQ_SERIAL_NUMBER, 3).ok);
  device::DeviceAccess access(driver_);
  device::DeviceList list;
  EXPECT_EQ(access.Discover(list), 0);
}

// ---------------------------------------------------------------- memory and calibration records

Bytes RecordFirstHalf(SimDriver& driver, std::uint16_t page, int outlet) {
  return Request(driver, 0, REQUEST_TYPE_IN, REQ_READ_MEMORY, page, CalibrationRecordOffset(outlet), 8).bytes;
}

void SendReset(SimDriver& driver, int outlet, std::uint16_t code1 = UNLOCK_CODE_WORD_1) {
  Request(driver, 0, REQUEST_TYPE_OUT, REQ_UNLOCK, code1, UNLOCK_CODE_WORD_2);
  Request(driver, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_05, RESET_STEP_05_VALUE);
  Request(driver, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_06, ResetRecordAddress(outlet));
  Request(driver, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_07, RESET_STEP_07_VALUE);
  Request(driver, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_09);
}

TEST(SimMemory, RecordsLieOnTheSelectedPage) {
  for (const auto& [selector, page] : {std::pair{0, 0x7D80}, {1, 0x0300}, {2, 0x0380}, {0xFF, 0x0380}}) {
    Scenario scenario = OneStrip();
    scenario.strips[0].pageSelector = static_cast<std::uint8_t>(selector);
    SimDriver driver(scenario, Manual());
    SCOPED_TRACE(selector);
    const auto factory = DefaultFactoryCalibration();
    for (int outlet = 1; outlet <= 4; ++outlet) {
      const Bytes first = RecordFirstHalf(driver, static_cast<std::uint16_t>(page), outlet);
      const Bytes second = Request(driver, 0, REQUEST_TYPE_IN, REQ_READ_MEMORY, static_cast<std::uint16_t>(page),
                                   CalibrationSecondReadOffset(outlet), 8).bytes;
      ASSERT_EQ(first.size(), 8u);
      ASSERT_EQ(second.size(), 8u);
      EXPECT_EQ(DecodeChannelCalibration(std::span<const std::uint8_t, 8>(first.data(), 8),
                                         std::span<const std::uint8_t, 8>(second.data(), 8)),
                factory[static_cast<std::size_t>(outlet - 1)]);
    }
    // The other pages hold nothing.
    for (std::uint16_t other : {0x7D80, 0x0300, 0x0380}) {
      if (other == page) continue;
      EXPECT_EQ(RecordFirstHalf(driver, other, 1), Bytes(8, 0));
    }
  }
}

TEST(SimMemory, PatchesAndReadsPastThePageEnd) {
  Scenario scenario = OneStrip();
  scenario.strips[0].memory.push_back(MemoryPatch{0x1234, 250, {1, 2, 3, 4, 5, 6}});
  SimDriver driver(scenario, Manual());
  EXPECT_EQ(Request(driver, 0, REQUEST_TYPE_IN, REQ_READ_MEMORY, 0x1234, 248, 8).bytes, (Bytes{0, 0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Request(driver, 0, REQUEST_TYPE_IN, REQ_READ_MEMORY, 0x1234, 252, 8).bytes, (Bytes{3, 4, 5, 6, 0, 0, 0, 0}));
  EXPECT_EQ(Request(driver, 0, REQUEST_TYPE_IN, REQ_READ_MEMORY, 0x1234, 0xFFFF, 8).bytes, Bytes(8, 0));
}

TEST(SimMemory, FlagAndZeroDivisorFaultsChangeTheWorkingRecord) {
  Scenario scenario = OneStrip();
  scenario.strips[0].faults.flaggedRecords = {2};
  scenario.strips[0].faults.zeroDivisors = {ZeroDivisor{3, DivisorFault::Low}, ZeroDivisor{4, DivisorFault::Both}};
  SimDriver driver(scenario, Manual());
  EXPECT_EQ(RecordFirstHalf(driver, 0x0300, 1)[CALIBRATION_FLAG_BYTE], 0);
  EXPECT_EQ(RecordFirstHalf(driver, 0x0300, 2)[CALIBRATION_FLAG_BYTE], RECORD_FLAG_VALUE);
  EXPECT_EQ(driver.CalibrationRecord(0, 3).lowDivisor, 0);
  EXPECT_NE(driver.CalibrationRecord(0, 3).highDivisor, 0);
  EXPECT_EQ(driver.CalibrationRecord(0, 4).lowDivisor, 0);
  EXPECT_EQ(driver.CalibrationRecord(0, 4).highDivisor, 0);
  driver.SetZeroDivisor(0, 1, DivisorFault::High);
  EXPECT_EQ(driver.CalibrationRecord(0, 1).highDivisor, 0);
}

class SimReset : public ::testing::Test {
 protected:
  SimReset() : driver_(OneStrip(), Manual()) {
    driver_.FlagRecord(0, 2);
    driver_.SetZeroDivisor(0, 2, DivisorFault::Both);
  }
  bool Flagged() { return RecordFirstHalf(driver_, 0x0300, 2)[CALIBRATION_FLAG_BYTE] != 0; }
  SimDriver driver_;
};

TEST_F(SimReset, RightSequenceRestoresTheFactoryRecord) {
  ASSERT_TRUE(Flagged());
  SendReset(driver_, 2);
  EXPECT_FALSE(Flagged());
  EXPECT_EQ(driver_.CalibrationRecord(0, 2), DefaultFactoryCalibration()[1]);
}

TEST_F(SimReset, WrongCodeHasNoEffect) {
  SendReset(driver_, 2, 0x1111);
  EXPECT_TRUE(Flagged());
}

TEST_F(SimReset, WrongOrderHasNoEffect) {
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_UNLOCK, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_06, ResetRecordAddress(2));
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_05, RESET_STEP_05_VALUE);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_07, RESET_STEP_07_VALUE);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_09);
  EXPECT_TRUE(Flagged());
}

TEST_F(SimReset, AnotherRequestInBetweenBreaksTheSequence) {
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_UNLOCK, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_05, RESET_STEP_05_VALUE);
  Request(driver_, 0, REQUEST_TYPE_IN, REQ_VOLTAGE, 0, 0, 1);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_06, ResetRecordAddress(2));
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_07, RESET_STEP_07_VALUE);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_09);
  EXPECT_TRUE(Flagged());
  SendReset(driver_, 2);  // a complete sequence afterwards still works
  EXPECT_FALSE(Flagged());
}

TEST_F(SimReset, WrongStepValuesOrAFailedStepHaveNoEffect) {
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_UNLOCK, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_05, 0x0301);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_06, ResetRecordAddress(2));
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_07, RESET_STEP_07_VALUE);
  Request(driver_, 0, REQUEST_TYPE_OUT, REQ_RESET_STEP_09);
  EXPECT_TRUE(Flagged());
  driver_.SetReplyFaults(0, {ReplyFault{REQ_RESET_STEP_07, ReplyFaultMode::Fail, 0, 1, HandleScope::Any}});
  SendReset(driver_, 2);
  EXPECT_TRUE(Flagged());
}

TEST_F(SimReset, TheAddressChoosesTheOutlet) {
  driver_.FlagRecord(0, 4);
  SendReset(driver_, 4);
  EXPECT_TRUE(Flagged());
  EXPECT_EQ(driver_.CalibrationRecord(0, 4), DefaultFactoryCalibration()[3]);
}

TEST(SimWithDeviceAccess, CalibrationFetchResetsAFlaggedRecordWithTheExactSequence) {
  Scenario scenario = OneStrip();
  scenario.strips[0].faults.flaggedRecords = {3};
  SimDriver driver(scenario, Manual());
  device::DeviceAccess access(driver);
  ASSERT_EQ(access.RebuildDeviceList(), 1);
  driver.ClearRequestLog(0);
  const auto records = device::FetchCalibration(access, 0x1A2B3);
  EXPECT_EQ(records, DefaultFactoryCalibration());

  std::vector<SetupFields> seen;
  for (const RequestRecord& r : driver.RequestLog(0)) {
    ASSERT_TRUE(r.setup.has_value());
    EXPECT_EQ(r.on, HandleKind::Pipe);
    EXPECT_TRUE(r.ok);
    seen.push_back(*r.setup);
  }
  const auto read = [](std::uint16_t page, std::uint16_t offset) {
    return SetupFields{REQUEST_TYPE_IN, REQ_READ_MEMORY, page, offset, 8};
  };
  const auto out = [](std::uint8_t request, std::uint16_t value, std::uint16_t index = 0) {
    return SetupFields{REQUEST_TYPE_OUT, request, value, index, 0};
  };
  const std::vector<SetupFields> expected = {
      read(0x0080, 0x0078),
      read(0x0300, 30), read(0x0300, 38),
      read(0x0300, 44), read(0x0300, 52),
      read(0x0300, 58),
      out(REQ_UNLOCK, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2), out(REQ_RESET_STEP_05, 0x0300),
      out(REQ_RESET_STEP_06, 0x023E), out(REQ_RESET_STEP_07, 0x0300), out(REQ_RESET_STEP_09, 0),
      read(0x0300, 58), read(0x0300, 66),
      read(0x0300, 72), read(0x0300, 80)};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace kvx::sim::test
