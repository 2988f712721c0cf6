// Wire format between the client and a metering strip: driver control codes,
// the USB setup packet, the vendor requests, the 16-byte reading, calibration
// records and the texts derived from identity fields. Pure functions over
// bytes; nothing here touches a handle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kvx::protocol {

// ---- Driver control codes (device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS).
inline constexpr std::uint32_t CtlCode(std::uint32_t function) {
  return (0x0022u << 16) | (function << 2);
}
inline constexpr std::uint32_t IOCTL_STRIP_STOP = CtlCode(0x801);              // 0x00222004
inline constexpr std::uint32_t IOCTL_STRIP_SET_EVENT = CtlCode(0x804);         // 0x00222010
inline constexpr std::uint32_t IOCTL_STRIP_CONTROL_TRANSFER = CtlCode(0x809);  // 0x00222024
static_assert(IOCTL_STRIP_STOP == 0x00222004);
static_assert(IOCTL_STRIP_SET_EVENT == 0x00222010);
static_assert(IOCTL_STRIP_CONTROL_TRANSFER == 0x00222024);

// The data pipe under a strip's interface path, and the completion event name.
inline constexpr char PIPE_NAME[] = "PIPE00";
inline constexpr char READ_EVENT_NAME[] = "ReadTCSData";

// ---- Vendor requests.
inline constexpr std::uint8_t REQUEST_TYPE_OUT = 0x40;  // host-to-device, vendor, device
inline constexpr std::uint8_t REQUEST_TYPE_IN = 0xC0;   // device-to-host, vendor, device

inline constexpr std::uint8_t REQ_SUSPEND = 0x00;
inline constexpr std::uint8_t REQ_SELECT_OUTLET = 0x01;
inline constexpr std::uint8_t REQ_SELECT_QUANTITY = 0x20;
inline constexpr std::uint8_t REQ_UNLOCK = 0x15;
inline constexpr std::uint8_t REQ_RESET_STEP_05 = 0x05;
inline constexpr std::uint8_t REQ_RESET_STEP_06 = 0x06;
inline constexpr std::uint8_t REQ_RESET_STEP_07 = 0x07;
inline constexpr std::uint8_t REQ_RESET_STEP_09 = 0x09;
inline constexpr std::uint8_t REQ_FIRMWARE_VERSION = 0xC0;
inline constexpr std::uint8_t REQ_SERIAL_NUMBER = 0xC1;
inline constexpr std::uint8_t REQ_READ_MEMORY = 0xA2;
inline constexpr std::uint8_t REQ_LINE_PERIOD = 0xA1;
inline constexpr std::uint8_t REQ_VOLTAGE = 0xB0;
inline constexpr std::uint8_t REQ_TEMPERATURE = 0xB4;

// wLength of each IN request (the number of reply bytes asked for).
inline constexpr std::uint16_t FIRMWARE_VERSION_LENGTH = 2;
inline constexpr std::uint16_t SERIAL_NUMBER_LENGTH = 3;
inline constexpr std::uint16_t READ_MEMORY_LENGTH = 8;
inline constexpr std::uint16_t LINE_PERIOD_LENGTH = 8;
inline constexpr std::uint16_t VOLTAGE_LENGTH = 1;
inline constexpr std::uint16_t TEMPERATURE_LENGTH = 2;

// Parameters of the reset sequence.
inline constexpr std::uint16_t RESET_STEP_05_VALUE = 0x0300;
inline constexpr std::uint16_t RESET_STEP_07_VALUE = 0x0300;
// Address the strip uses for outlet n's record in REQ_RESET_STEP_06.
inline constexpr std::uint16_t ResetRecordAddress(int outlet) {
  return static_cast<std::uint16_t>(0x0222 + 14 * (outlet - 1));
}

// Access code of REQ_UNLOCK (wValue, wIndex). The strip firmware and the
// client must agree on it; the simulated strip uses the same pair.
inline constexpr std::uint16_t UNLOCK_CODE_WORD_1 = 0x4B56;  // "KV"
inline constexpr std::uint16_t UNLOCK_CODE_WORD_2 = 0x5843;  // "XC"

// Quantities of REQ_SELECT_QUANTITY.
inline constexpr std::uint8_t QUANTITY_CURRENT = 0x30;
inline constexpr std::uint8_t QUANTITY_POWER = 0x10;

// ---- Setup packet (8 bytes, little-endian fields).
using SetupPacket = std::array<std::uint8_t, 8>;

struct SetupFields {
  std::uint8_t bmRequestType = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
  bool operator==(const SetupFields&) const = default;
};

SetupPacket BuildSetupPacket(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                             std::uint16_t wIndex, std::uint16_t wLength);
// Inverse of BuildSetupPacket: what a driver (or the simulated strip) sees.
SetupFields ParseSetupPacket(std::span<const std::uint8_t, 8> packet);
// An outlet or quantity selection: the strip sends readings of another form after it.
constexpr bool ChangesSelection(const SetupFields& setup) {
  return setup.bmRequestType == REQUEST_TYPE_OUT &&
         (setup.bRequest == REQ_SELECT_OUTLET || setup.bRequest == REQ_SELECT_QUANTITY);
}

// ---- Reading (16 bytes on "PIPE00").
inline constexpr std::size_t READING_SIZE = 16;
using ReadingBytes = std::array<std::uint8_t, READING_SIZE>;

struct Reading {
  std::uint8_t packetIndex = 0;  // byte 0: waveform position 1..32, or the summary state byte
  std::uint8_t readingKind = 0;  // byte 3
  std::array<std::uint16_t, 4> value{};  // bytes 8..15, little-endian
  bool operator==(const Reading&) const = default;
};

Reading DecodeReading(std::span<const std::uint8_t, READING_SIZE> bytes);
// Lays a reading out on the wire (bytes 1, 2 and 4..7 zero); used by the simulated strip.
ReadingBytes EncodeReading(const Reading& reading);

inline constexpr std::uint8_t STATE_ON_BIT = 0x80;  // summary state byte: strip switched on
inline constexpr int WAVEFORM_PACKETS = 32;
inline constexpr int WAVEFORM_SAMPLES = 128;

inline constexpr bool IsWaveformKind(std::uint8_t readingKind) { return (readingKind & 0x0F) != 0; }

// Divisor of summary values: power values (kinds 0x00, 0x10, 0x20) are
// divided by 1.0001, current values taken as they come.
double SummaryDivisor(std::uint8_t readingKind);

// Acceptance of one non-empty reading, given the packetIndex of the previous one.
enum class ReadingVerdict {
  Waveform,  // a waveform packet with index 1..32: store its samples
  Summary,   // a summary reading repeated with the same state byte: process it
  Drop,      // anything else
};
ReadingVerdict ClassifyReading(const Reading& reading, std::uint8_t previousPacketIndex);

// Sample positions of waveform packet p (1..32): 4(p-1) .. 4(p-1)+3.
inline constexpr int FirstSampleOfPacket(int packetIndex) { return 4 * (packetIndex - 1); }

// ---- Identity.
std::uint32_t DecodeSerialNumber(std::span<const std::uint8_t, 3> bytes);
// The strip's serial as people and file names see it: in the tree, the
// status line, file and lock names, the event journal and traces.
std::string FormatSerialName(std::uint32_t serialNumber);                              // "%05X"
std::string FormatTreeLabel(std::uint32_t serialNumber);                               // "S/N=%05X"
std::string FormatSerialLabel(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2);      // "%01X%02X%02X"
// The serial as the CSV headers and the metrics labels carry it (stored
// files and existing series rely on the six digits).
std::string FormatSerialText(std::uint32_t serialNumber);                              // "%06X"
std::string FormatFirmwareText(std::uint8_t b0, std::uint8_t b1);                      // "V%X.%XL%02X"

// `value` with `decimals` digits after the point, the text "%.*f" writes
// (std::to_chars with a precision is specified to give printf's text), at a
// fraction of printf's cost: every summary reading sets sixteen labels and
// writes a record. Empty only if the value does not fit 400 characters.
std::string FixedText(double value, int decimals);

// ---- Calibration records.
inline constexpr std::uint16_t PAGE_SELECTOR_PAGE = 0x0080;
inline constexpr std::uint16_t PAGE_SELECTOR_OFFSET = 0x0078;
inline constexpr int PAGE_SELECTOR_BYTE = 3;
inline constexpr std::uint16_t CALIBRATION_RECORD_SIZE = 14;
inline constexpr std::uint16_t CALIBRATION_FLAG_BYTE = 5;  // high byte of lowOffset

// Offset of outlet n's record (first half) within the calibration page.
inline constexpr std::uint16_t CalibrationRecordOffset(int outlet) {
  return static_cast<std::uint16_t>(30 + 14 * (outlet - 1));
}
// Offset of the second 8-byte read of outlet n's record.
inline constexpr std::uint16_t CalibrationSecondReadOffset(int outlet) {
  return static_cast<std::uint16_t>(38 + 14 * (outlet - 1));
}

std::uint16_t SelectCalibrationPage(std::uint8_t selectorByte3);

struct ChannelCalibration {
  std::uint16_t lowDivisor = 0;
  std::uint16_t lowMultiplier = 0;
  std::uint16_t lowOffset = 0;
  std::uint16_t threshold = 0;
  std::uint16_t highDivisor = 0;
  std::uint16_t highMultiplier = 0;
  std::uint16_t highOffset = 0;
  bool operator==(const ChannelCalibration&) const = default;
};

// Words 0..3 from the first reply, words 4..6 from bytes 0..5 of the second.
ChannelCalibration DecodeChannelCalibration(std::span<const std::uint8_t, 8> first,
                                            std::span<const std::uint8_t, 8> second);
// The 14 bytes of a record as it lies in the strip's memory (for the simulated strip).
std::array<std::uint8_t, CALIBRATION_RECORD_SIZE> EncodeChannelCalibration(const ChannelCalibration& record);

// Two-segment correction of a centred waveform sample. A segment whose divisor
// is 0 (also what a failed memory read decodes to) passes the sample through
// unchanged instead of producing inf or NaN.
double ApplyCalibration(const ChannelCalibration& record, double sample);

// ---- Line quantities.
struct LineQuantity {
  double value = 0.0;
  bool valid = false;
};
LineQuantity DecodeVoltage(std::uint8_t volts);            // valid 1..140 V
LineQuantity DecodeFrequency(std::uint16_t periodCount);   // 1e6 / (count * 0.5) Hz; count 0 -> 0 Hz, invalid
LineQuantity DecodeTemperature(std::uint16_t count);       // count / 100 degC, valid up to 5000
inline constexpr char BAD_TEXT[] = "(BAD)";
std::string FormatVoltage(const LineQuantity& volts);        // "%d" or "(BAD)"
std::string FormatFrequency(const LineQuantity& hertz);      // "%0.2f" or "(BAD)"
std::string FormatTemperature(const LineQuantity& celsius);  // "%0.2f" or "(BAD)"

// Little-endian 16-bit word at offset of a byte buffer.
inline std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

}  // namespace kvx::protocol
