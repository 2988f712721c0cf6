#include "device/protocol.h"

#include <charconv>
#include <cstdio>

namespace kvx::protocol {

namespace {
template <typename... Args>
std::string Format(const char* format, Args... args) {
  char buffer[64] = {};
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

void PutWord(std::uint8_t* at, std::uint16_t word) {
  at[0] = static_cast<std::uint8_t>(word & 0xFF);
  at[1] = static_cast<std::uint8_t>(word >> 8);
}
}  // namespace

SetupPacket BuildSetupPacket(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t wValue,
                             std::uint16_t wIndex, std::uint16_t wLength) {
  SetupPacket packet{};
  packet[0] = bmRequestType;
  packet[1] = bRequest;
  PutWord(&packet[2], wValue);
  PutWord(&packet[4], wIndex);
  PutWord(&packet[6], wLength);
  return packet;
}

SetupFields ParseSetupPacket(std::span<const std::uint8_t, 8> packet) {
  return SetupFields{packet[0], packet[1], Word(packet, 2), Word(packet, 4), Word(packet, 6)};
}

Reading DecodeReading(std::span<const std::uint8_t, READING_SIZE> bytes) {
  Reading reading;
  reading.packetIndex = bytes[0];
  reading.readingKind = bytes[3];
  for (std::size_t k = 0; k < 4; ++k) reading.value[k] = Word(bytes, 8 + 2 * k);
  return reading;
}

ReadingBytes EncodeReading(const Reading& reading) {
  ReadingBytes bytes{};
  bytes[0] = reading.packetIndex;
  bytes[3] = reading.readingKind;
  for (std::size_t k = 0; k < 4; ++k) PutWord(&bytes[8 + 2 * k], reading.value[k]);
  return bytes;
}

double SummaryDivisor(std::uint8_t readingKind) {
  return (readingKind == 0x00 || readingKind == 0x10 || readingKind == 0x20) ? 1.0001 : 1.0;
}

ReadingVerdict ClassifyReading(const Reading& reading, std::uint8_t previousPacketIndex) {
  const std::uint8_t index = reading.packetIndex;
  if (IsWaveformKind(reading.readingKind)) {
    return (index >= 1 && index <= WAVEFORM_PACKETS) ? ReadingVerdict::Waveform : ReadingVerdict::Drop;
  }
  // A summary reading counts only when its state byte repeats and cannot be a
  // waveform position, so the first one after a waveform stream or a change of
  // the on/off state is dropped.
  if (index == previousPacketIndex && (index == 0 || index > WAVEFORM_PACKETS)) return ReadingVerdict::Summary;
  return ReadingVerdict::Drop;
}

std::uint32_t DecodeSerialNumber(std::span<const std::uint8_t, 3> bytes) {
  return (std::uint32_t{bytes[0]} << 16) | (std::uint32_t{bytes[1]} << 8) | bytes[2];
}

std::string FixedText(double value, int decimals) {
  char buffer[400];  // the longest finite double in fixed notation, with a few decimals
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return result.ec == std::errc() ? std::string(buffer, result.ptr) : std::string();
}

std::string FormatSerialName(std::uint32_t serialNumber) { return Format("%05X", serialNumber); }
std::string FormatTreeLabel(std::uint32_t serialNumber) { return "S/N=" + FormatSerialName(serialNumber); }

std::string FormatSerialLabel(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  return Format("%01X%02X%02X", unsigned{b0}, unsigned{b1}, unsigned{b2});
}

std::string FormatSerialText(std::uint32_t serialNumber) { return Format("%06X", serialNumber); }

std::string FormatFirmwareText(std::uint8_t b0, std::uint8_t b1) {
  return Format("V%X.%XL%02X", unsigned{b1} >> 4, unsigned{b1} & 0x0Fu, unsigned{b0});
}

std::uint16_t SelectCalibrationPage(std::uint8_t selectorByte3) {
  switch (selectorByte3) {
    case 0: return 0x7D80;
    case 1: return 0x0300;
    default: return 0x0380;
  }
}

ChannelCalibration DecodeChannelCalibration(std::span<const std::uint8_t, 8> first,
                                            std::span<const std::uint8_t, 8> second) {
  ChannelCalibration record;
  record.lowDivisor = Word(first, 0);
  record.lowMultiplier = Word(first, 2);
  record.lowOffset = Word(first, 4);
  record.threshold = Word(first, 6);
  record.highDivisor = Word(second, 0);
  record.highMultiplier = Word(second, 2);
  record.highOffset = Word(second, 4);
  return record;
}

std::array<std::uint8_t, CALIBRATION_RECORD_SIZE> EncodeChannelCalibration(const ChannelCalibration& record) {
  std::array<std::uint8_t, CALIBRATION_RECORD_SIZE> bytes{};
  const std::uint16_t words[7] = {record.lowDivisor, record.lowMultiplier, record.lowOffset, record.threshold,
                                  record.highDivisor, record.highMultiplier, record.highOffset};
  for (std::size_t k = 0; k < 7; ++k) PutWord(&bytes[2 * k], words[k]);
  return bytes;
}

double ApplyCalibration(const ChannelCalibration& record, double sample) {
  const bool low = sample <= record.threshold;
  const double divisor = low ? record.lowDivisor : record.highDivisor;
  if (divisor == 0.0) return sample;  // no usable correction for this segment
  const double multiplier = low ? record.lowMultiplier : record.highMultiplier;
  const double offset = low ? record.lowOffset : record.highOffset;
  return sample * multiplier / divisor + offset;
}

LineQuantity DecodeVoltage(std::uint8_t volts) { return {double(volts), volts >= 1 && volts <= 140}; }

LineQuantity DecodeFrequency(std::uint16_t periodCount) {
  // A period count of 0 would give an infinite frequency; keep 0 Hz instead so
  // that no file or label ever carries inf.
  if (periodCount == 0) return {0.0, false};
  return {1000000.0 / (periodCount * 0.5), true};
}

LineQuantity DecodeTemperature(std::uint16_t count) { return {count / 100.0, count <= 5000}; }

std::string FormatVoltage(const LineQuantity& volts) {
  return volts.valid ? Format("%d", static_cast<int>(volts.value)) : std::string(BAD_TEXT);
}

std::string FormatFrequency(const LineQuantity& hertz) {
  return hertz.valid ? Format("%0.2f", hertz.value) : std::string(BAD_TEXT);
}

std::string FormatTemperature(const LineQuantity& celsius) {
  return celsius.valid ? Format("%0.2f", celsius.value) : std::string(BAD_TEXT);
}

}  // namespace kvx::protocol
