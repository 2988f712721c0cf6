// The texts of the CSV log files: file names, the six header lines and the
// record lines. Pure functions; every line is composed in a zero-filled
// 256-character buffer with the file layout's exact printf formats, and a line
// that would not fit (and so would lose its CR LF) is refused, not cut.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/clock.h"

namespace kvx::recording {

inline constexpr std::size_t LINE_BUFFER_SIZE = 256;

// The slot index of a log kind: 0 current, 1 power; nullopt for any other value.
std::optional<std::size_t> SlotOfKind(int kind);

// "<directory>/%05X_ALL_A_%04d%02d%02d_%02d%02d%02d_%03d.csv" (current) or
// "_ALL_W_" (power). The directory "." gives "./..." names.
std::string LogFileName(const std::string& directory, int kind, std::uint32_t connectionSerial,
                        const LocalTime& time);

// The same moment one millisecond later, carried into seconds, minutes, hours,
// days, months and years as the calendar does. Used to step to the next free
// file name when a name is taken.
LocalTime NextMillisecond(const LocalTime& time);

// Appends the three constant identification lines (host name, MAC address,
// IP address) to the header of a new file.
void WriteIdentificationLines(std::vector<std::string>& header);

// The six header lines of a new file of `kind`: identification, unit line,
// the serial/firmware line and the column titles. The two texts come from the
// strip ("%06X" and "V%X.%XL%02X"); texts too long for a line are shortened.
std::vector<std::string> HeaderLines(int kind, const std::string& serialText, const std::string& firmwareText);

struct RecordValues {
  LocalTime time;
  int kind = 0;
  bool isOn = false;
  std::array<double, 4> channels{};
  double supplyVolts = 0.0;
  double lineFrequencyHz = 0.0;
  double temperatureC = 0.0;
};

// One record line with CR LF. Values that are not finite (a period count of 0,
// a calibration divisor of 0) are written as 0 so no file ever holds "inf" or
// "nan". Returns nullopt for an unknown kind or a line longer than the buffer.
std::optional<std::string> ComposeRecord(const RecordValues& values);

}  // namespace kvx::recording
