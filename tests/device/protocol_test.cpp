// The wire format: control codes, setup packets, readings, identity texts,
// line quantities, divisors and calibration records, checked against
// byte sequences written out as they appear on the wire.
#include <cmath>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "device/protocol.h"

namespace kvx::protocol {
namespace {

TEST(ControlCodes, HaveTheDriverValues) {
  EXPECT_EQ(IOCTL_STRIP_STOP, 0x00222004u);
  EXPECT_EQ(IOCTL_STRIP_SET_EVENT, 0x00222010u);
  EXPECT_EQ(IOCTL_STRIP_CONTROL_TRANSFER, 0x00222024u);
}

TEST(ControlCodes, VendorRequestNumbers) {
  EXPECT_EQ(REQ_SUSPEND, 0x00);
  EXPECT_EQ(REQ_SELECT_OUTLET, 0x01);
  EXPECT_EQ(REQ_SELECT_QUANTITY, 0x20);
  EXPECT_EQ(REQ_UNLOCK, 0x15);
  EXPECT_EQ(REQ_RESET_STEP_05, 0x05);
  EXPECT_EQ(REQ_RESET_STEP_06, 0x06);
  EXPECT_EQ(REQ_RESET_STEP_07, 0x07);
  EXPECT_EQ(REQ_RESET_STEP_09, 0x09);
  EXPECT_EQ(REQ_FIRMWARE_VERSION, 0xC0);
  EXPECT_EQ(REQ_SERIAL_NUMBER, 0xC1);
  EXPECT_EQ(REQ_READ_MEMORY, 0xA2);
  EXPECT_EQ(REQ_LINE_PERIOD, 0xA1);
  EXPECT_EQ(REQ_VOLTAGE, 0xB0);
  EXPECT_EQ(REQ_TEMPERATURE, 0xB4);
  EXPECT_EQ(ResetRecordAddress(1), 0x0222);
  EXPECT_EQ(ResetRecordAddress(2), 0x0230);
  EXPECT_EQ(ResetRecordAddress(3), 0x023E);
  EXPECT_EQ(ResetRecordAddress(4), 0x024C);
}

TEST(SetupPacket, BuildLaysFieldsOutLittleEndian) {
  const SetupPacket selector = BuildSetupPacket(0xC0, 0xA2, 0x0080, 0x0078, 8);
  EXPECT_EQ(selector, (SetupPacket{0xC0, 0xA2, 0x80, 0x00, 0x78, 0x00, 0x08, 0x00}));

  const SetupPacket serial = BuildSetupPacket(0xC0, 0xC1, 0, 0, 3);
  EXPECT_EQ(serial, (SetupPacket{0xC0, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00}));

  const SetupPacket resetOutlet4 = BuildSetupPacket(0x40, 0x06, 0x024C, 0, 0);
  EXPECT_EQ(resetOutlet4, (SetupPacket{0x40, 0x06, 0x4C, 0x02, 0x00, 0x00, 0x00, 0x00}));

  const SetupPacket wide = BuildSetupPacket(0xC0, 0xFF, 0xABCD, 0x1234, 0xFFFF);
  EXPECT_EQ(wide, (SetupPacket{0xC0, 0xFF, 0xCD, 0xAB, 0x34, 0x12, 0xFF, 0xFF}));
}

TEST(SetupPacket, ParseReadsWhatTheClientSent) {
  const SetupPacket captured{0xC0, 0xA2, 0x80, 0x7D, 0x2C, 0x00, 0x08, 0x00};
  EXPECT_EQ(ParseSetupPacket(captured), (SetupFields{0xC0, 0xA2, 0x7D80, 0x002C, 8}));

  const SetupPacket unlock = BuildSetupPacket(0x40, REQ_UNLOCK, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2, 0);
  EXPECT_EQ(ParseSetupPacket(unlock), (SetupFields{0x40, 0x15, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2, 0}));
}

TEST(ReadingLayout, DecodesASummaryCapture) {
  const ReadingBytes capture{0x80, 0x11, 0x22, 0x30, 0xAA, 0xBB, 0xCC, 0xDD,
                             0xE8, 0x03, 0x00, 0x00, 0xFF, 0xFF, 0x34, 0x12};
  const Reading reading = DecodeReading(capture);
  EXPECT_EQ(reading.packetIndex, 0x80);
  EXPECT_EQ(reading.readingKind, 0x30);
  EXPECT_EQ(reading.value, (std::array<std::uint16_t, 4>{1000, 0, 0xFFFF, 0x1234}));
  EXPECT_FALSE(IsWaveformKind(reading.readingKind));
}

TEST(ReadingLayout, DecodesAWaveformCapture) {
  const ReadingBytes capture{0x20, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,
                             0x01, 0x00, 0x00, 0x01, 0x10, 0x27, 0x00, 0x80};
  const Reading reading = DecodeReading(capture);
  EXPECT_EQ(reading.packetIndex, 32);
  EXPECT_EQ(reading.readingKind, 2);
  EXPECT_EQ(reading.value, (std::array<std::uint16_t, 4>{1, 256, 10000, 0x8000}));
  EXPECT_TRUE(IsWaveformKind(reading.readingKind));
  EXPECT_EQ(FirstSampleOfPacket(1), 0);
  EXPECT_EQ(FirstSampleOfPacket(32), 124);
}

TEST(ReadingLayout, EncodeLeavesUnusedBytesZero) {
  const Reading reading{0x80, 0x10, {0x0102, 0x0304, 0x0506, 0x0708}};
  EXPECT_EQ(EncodeReading(reading), (ReadingBytes{0x80, 0, 0, 0x10, 0, 0, 0, 0, 0x02, 0x01, 0x04, 0x03, 0x06, 0x05,
                                                  0x08, 0x07}));
  EXPECT_EQ(DecodeReading(EncodeReading(reading)), reading);
}

struct IdentityCase {
  std::array<std::uint8_t, 3> bytes;
  const char* treeLabel;
  const char* serialLabel;
  const char* serialText;
};

TEST(IdentityTexts, SerialNumberTexts) {
  const IdentityCase cases[] = {
      {{0x01, 0x23, 0x45}, "S/N=12345", "12345", "012345"},
      {{0x12, 0xAB, 0xCD}, "S/N=12ABCD", "12ABCD", "12ABCD"},
      {{0x00, 0x0A, 0xBC}, "S/N=00ABC", "00ABC", "000ABC"},
  };
  for (const IdentityCase& c : cases) {
    const std::uint32_t serial = DecodeSerialNumber(c.bytes);
    EXPECT_EQ(serial, (std::uint32_t{c.bytes[0]} << 16) | (std::uint32_t{c.bytes[1]} << 8) | c.bytes[2]);
    EXPECT_EQ(FormatTreeLabel(serial), c.treeLabel);
    EXPECT_EQ(FormatSerialLabel(c.bytes[0], c.bytes[1], c.bytes[2]), c.serialLabel);
    EXPECT_EQ(FormatSerialText(serial), c.serialText);
  }
}

TEST(IdentityTexts, FirmwareText) {
  EXPECT_EQ(FormatFirmwareText(0x10, 0x20), "V2.0L10");
  EXPECT_EQ(FormatFirmwareText(0x0C, 0x06), "V0.6L0C");
  EXPECT_EQ(FormatFirmwareText(0x00, 0x00), "V0.0L00");  // a strip that did not answer
  EXPECT_EQ(FormatFirmwareText(0xFF, 0xAB), "VA.BLFF");
}

TEST(LineQuantities, VoltageLimits) {
  EXPECT_EQ(FormatVoltage(DecodeVoltage(0)), "(BAD)");
  EXPECT_EQ(FormatVoltage(DecodeVoltage(1)), "1");
  EXPECT_EQ(FormatVoltage(DecodeVoltage(140)), "140");
  EXPECT_EQ(FormatVoltage(DecodeVoltage(141)), "(BAD)");
  EXPECT_FALSE(DecodeVoltage(141).valid);
  EXPECT_EQ(DecodeVoltage(141).value, 141.0);  // stored whether valid or not
}

TEST(LineQuantities, FrequencyFromPeriodCount) {
  EXPECT_EQ(FormatFrequency(DecodeFrequency(40000)), "50.00");
  EXPECT_EQ(FormatFrequency(DecodeFrequency(33333)), "60.00");
  EXPECT_DOUBLE_EQ(DecodeFrequency(40000).value, 50.0);
  EXPECT_TRUE(DecodeFrequency(1).valid);
  EXPECT_DOUBLE_EQ(DecodeFrequency(1).value, 2000000.0);

  const LineQuantity none = DecodeFrequency(0);
  EXPECT_FALSE(none.valid);
  EXPECT_EQ(none.value, 0.0);
  EXPECT_EQ(FormatFrequency(none), "(BAD)");
}

TEST(LineQuantities, TemperatureLimits) {
  EXPECT_EQ(FormatTemperature(DecodeTemperature(2534)), "25.34");
  EXPECT_EQ(FormatTemperature(DecodeTemperature(5000)), "50.00");
  EXPECT_EQ(FormatTemperature(DecodeTemperature(5001)), "(BAD)");
  EXPECT_DOUBLE_EQ(DecodeTemperature(5001).value, 50.01);
  EXPECT_EQ(FormatTemperature(DecodeTemperature(0)), "0.00");
}

TEST(SummaryDivisors, PowerKindsDivideCurrentKindsDoNot) {
  EXPECT_EQ(1000 / SummaryDivisor(0x30), 1000.0);
  char text[32];
  std::snprintf(text, sizeof text, "%.8g", 1000 / SummaryDivisor(0x10));
  EXPECT_STREQ(text, "999.90001");
  EXPECT_EQ(SummaryDivisor(0x00), 1.0001);
  EXPECT_EQ(SummaryDivisor(0x20), 1.0001);
  EXPECT_EQ(SummaryDivisor(0x40), 1.0);
  EXPECT_EQ(SummaryDivisor(0xF0), 1.0);
}

ChannelCalibration SampleRecord() { return {1000, 1200, 5, 2000, 1000, 1100, 0}; }

TEST(Calibration, SegmentsMeetAtTheThreshold) {
  const ChannelCalibration record = SampleRecord();
  EXPECT_DOUBLE_EQ(ApplyCalibration(record, 2000), 2405.0);  // threshold itself is the low segment
  EXPECT_DOUBLE_EQ(ApplyCalibration(record, 2001), 2201.1);
  EXPECT_DOUBLE_EQ(ApplyCalibration(record, -100), -115.0);
}

TEST(Calibration, ZeroDivisorPassesTheSampleThrough) {
  const ChannelCalibration zero{};  // what a failed memory read decodes to
  EXPECT_TRUE(std::isfinite(ApplyCalibration(zero, 123.5)));
  EXPECT_EQ(ApplyCalibration(zero, 123.5), 123.5);
  EXPECT_EQ(ApplyCalibration(zero, -7.0), -7.0);

  ChannelCalibration highBroken = SampleRecord();
  highBroken.highDivisor = 0;
  EXPECT_DOUBLE_EQ(ApplyCalibration(highBroken, 1000), 1205.0);  // low segment still corrects
  EXPECT_EQ(ApplyCalibration(highBroken, 3000), 3000.0);
}

TEST(Calibration, PageSelection) {
  EXPECT_EQ(SelectCalibrationPage(0), 0x7D80);
  EXPECT_EQ(SelectCalibrationPage(1), 0x0300);
  EXPECT_EQ(SelectCalibrationPage(2), 0x0380);
  EXPECT_EQ(SelectCalibrationPage(0xFF), 0x0380);
}

TEST(Calibration, RecordOffsets) {
  EXPECT_EQ(CalibrationRecordOffset(1), 30);
  EXPECT_EQ(CalibrationRecordOffset(4), 72);
  EXPECT_EQ(CalibrationSecondReadOffset(1), 38);
  EXPECT_EQ(CalibrationSecondReadOffset(4), 80);
}

TEST(Calibration, DecodesTwoMemoryReplies) {
  const std::array<std::uint8_t, 8> first{0xE8, 0x03, 0xB0, 0x04, 0x05, 0x00, 0xD0, 0x07};
  // Bytes 6 and 7 of the second read belong to the next record.
  const std::array<std::uint8_t, 8> second{0xE8, 0x03, 0x4C, 0x04, 0x00, 0x00, 0xAA, 0xBB};
  EXPECT_EQ(DecodeChannelCalibration(first, second), SampleRecord());

  const std::array<std::uint8_t, 8> wide{0x01, 0x80, 0x02, 0x90, 0x03, 0xA0, 0x04, 0xB0};
  const ChannelCalibration record = DecodeChannelCalibration(wide, wide);
  EXPECT_EQ(record, (ChannelCalibration{0x8001, 0x9002, 0xA003, 0xB004, 0x8001, 0x9002, 0xA003}));
}

TEST(Calibration, EncodeMatchesTheMemoryLayout) {
  EXPECT_EQ(EncodeChannelCalibration(SampleRecord()),
            (std::array<std::uint8_t, 14>{0xE8, 0x03, 0xB0, 0x04, 0x05, 0x00, 0xD0, 0x07, 0xE8, 0x03, 0x4C, 0x04,
                                          0x00, 0x00}));
}

}  // namespace
}  // namespace kvx::protocol
