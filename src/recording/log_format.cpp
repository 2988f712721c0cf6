#include "recording/log_format.h"

#include "acquisition/sinks.h"
#include "device/protocol.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace kvx::recording {
namespace {

using LineBuffer = std::array<char, LINE_BUFFER_SIZE>;

// The composed line, or nullopt when snprintf failed or had to cut it short.
std::optional<std::string> Finish(const LineBuffer& line, int length) {
  if (length < 0 || static_cast<std::size_t>(length) >= line.size()) return std::nullopt;
  return std::string(line.data(), static_cast<std::size_t>(length));
}

// A record never carries "inf" or "nan": such a value is written as 0.
double Finite(double value) { return std::isfinite(value) ? value : 0.0; }

// The serial and firmware texts are 6 and 7 characters from the strip; the
// bound only guarantees that line 5 always fits its buffer with its CR LF.
constexpr std::size_t MAX_IDENTITY_TEXT = 100;

std::string Clip(const std::string& text) { return text.substr(0, MAX_IDENTITY_TEXT); }

// Appends [first, last) padded to `width` as printf pads: zeros go after a
// minus sign, spaces before it.
void AppendPadded(std::string& out, const char* first, const char* last, std::size_t width, char pad) {
  if (pad == '0' && first != last && *first == '-') {
    out += *first++;
    if (width > 0) --width;
  }
  const auto length = static_cast<std::size_t>(last - first);
  if (length < width) out.append(width - length, pad);
  out.append(first, last);
}

// printf's "%0<width>d".
void AppendInt(std::string& out, int value, std::size_t width) {
  char buffer[16];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  AppendPadded(out, buffer, result.ptr, width, '0');
}

// printf's "%0<width>.<decimals>f" (pad '0') or "%<width>.<decimals>f" (pad
// ' '): std::to_chars with a precision is specified to give printf's digits.
void AppendFixed(std::string& out, double value, int decimals, std::size_t width, char pad) {
  const std::string text = protocol::FixedText(value, decimals);
  AppendPadded(out, text.data(), text.data() + text.size(), width, pad);
}

// A summary record of a strip that is on. Written for every record, so the
// text is put together directly rather than through snprintf's parser; the
// bytes are those of "%04d/%02d/%02d %02d:%02d:%02d,on,%05.0f (x4; %04.0f in
// watts),%03.0f,%2.2f,%2.2f\r\n", and a line that would not fit the line
// buffer is refused as before.
std::optional<std::string> ComposeOn(const RecordValues& v, bool power) {
  const LocalTime& t = v.time;
  std::string line;
  line.reserve(96);
  // "yyyy/mm/dd hh:mm:ss": each field and the separator after it.
  const std::array<std::pair<int, char>, 6> fields = {
      {{t.year, '/'}, {t.month, '/'}, {t.day, ' '}, {t.hour, ':'}, {t.minute, ':'}, {t.second, ','}}};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    AppendInt(line, fields[i].first, i == 0 ? 4 : 2);
    line += fields[i].second;
  }
  line += "on";
  for (const double channel : v.channels) {
    line += ',';
    AppendFixed(line, Finite(channel), 0, power ? 4 : 5, '0');
  }
  line += ',';
  AppendFixed(line, Finite(v.supplyVolts), 0, 3, '0');
  line += ',';
  AppendFixed(line, Finite(v.lineFrequencyHz), 2, 2, ' ');
  line += ',';
  AppendFixed(line, Finite(v.temperatureC), 2, 2, ' ');
  line += "\r\n";
  if (line.size() >= LINE_BUFFER_SIZE) return std::nullopt;
  return line;
}

std::optional<std::string> ComposeOff(const RecordValues& v, bool power) {
  LineBuffer line{};
  const LocalTime& t = v.time;
  const double temp = Finite(v.temperatureC);
  const int n =
      power ? std::snprintf(line.data(), line.size(),
                            "%04d/%02d/%02d %02d:%02d:%02d,off,0000,0000,0000,0000,000,00.00,%2.2f\r\n", t.year,
                            t.month, t.day, t.hour, t.minute, t.second, temp)
            : std::snprintf(line.data(), line.size(),
                            "%04d/%02d/%02d %02d:%02d:%02d,off,00000,00000,00000,00000,000,00.00,%2.2f\r\n",
                            t.year, t.month, t.day, t.hour, t.minute, t.second, temp);
  return Finish(line, n);
}

}  // namespace

std::optional<std::size_t> SlotOfKind(int kind) {
  if (kind == LOG_KIND_CURRENT) return 0;
  if (kind == LOG_KIND_POWER) return 1;
  return std::nullopt;
}

std::string LogFileName(const std::string& directory, int kind, std::uint32_t connectionSerial,
                        const LocalTime& time) {
  std::array<char, 128> stamp{};  // room for any int fields, so nothing is cut
  std::snprintf(stamp.data(), stamp.size(), "_%04d%02d%02d_%02d%02d%02d_%03d.csv", time.year, time.month, time.day,
                time.hour, time.minute, time.second, time.millisecond);
  return directory + "/" + protocol::FormatSerialName(connectionSerial) +
         (kind == LOG_KIND_POWER ? "_ALL_W" : "_ALL_A") + stamp.data();
}

LocalTime NextMillisecond(const LocalTime& time) {
  if (time.millisecond < 999) {
    LocalTime next = time;
    ++next.millisecond;
    return next;
  }
  // A calendar step: the fields are local time and stay local time, so no
  // time-zone or daylight-saving shift is applied.
  const auto t = static_cast<std::time_t>(CalendarSeconds(time) + 1);
  std::tm out{};
  gmtime_r(&t, &out);
  return LocalTime{out.tm_year + 1900, out.tm_mon + 1, out.tm_mday, out.tm_hour, out.tm_min, out.tm_sec, 0,
                   time.utcOffsetSec};
}

void WriteIdentificationLines(std::vector<std::string>& header) {
  header.emplace_back("hostname,LM-3827QD,,,,,\r\n");
  header.emplace_back("MAC Address,00:00:00:00:00:00,,,,,\r\n");
  header.emplace_back("IP Address,000.000.000.000,,,,,\r\n");
}

std::vector<std::string> HeaderLines(int kind, const std::string& serialText, const std::string& firmwareText) {
  std::vector<std::string> header;
  WriteIdentificationLines(header);
  header.emplace_back(kind == LOG_KIND_POWER ? "unit,electric power[W],,,,,\r\n"
                                             : "unit,electric ampere [A],,,,,\r\n");
  LineBuffer line{};
  const std::string serial = Clip(serialText);
  const std::string firmware = Clip(firmwareText);
  const int n = std::snprintf(line.data(), line.size(), "%s,%s,%s,%s,%s,%s,%s\r\n", "", serial.c_str(),
                              firmware.c_str(), "", "", "", "");
  header.push_back(Finish(line, n).value_or(",,,,,,\r\n"));
  header.emplace_back("date,state,ch1,ch2,ch3,ch4,V,Hz,Temp\r\n");
  return header;
}

std::optional<std::string> ComposeRecord(const RecordValues& values) {
  if (!SlotOfKind(values.kind)) return std::nullopt;
  const bool power = values.kind == LOG_KIND_POWER;
  return values.isOn ? ComposeOn(values, power) : ComposeOff(values, power);
}

}  // namespace kvx::recording
