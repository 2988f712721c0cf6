#include "recording/energy_ledger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "recording/log_file.h"

namespace kvx::recording {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

// A whole number with exactly `digits` decimals ("1.500" for 1500, 3).
std::string Decimal(std::int64_t value, int digits, std::int64_t scale) {
  char buffer[48];
  const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::snprintf(buffer, sizeof buffer, "%s%llu.%0*llu", value < 0 ? "-" : "",
                static_cast<unsigned long long>(magnitude / static_cast<std::uint64_t>(scale)), digits,
                static_cast<unsigned long long>(magnitude % static_cast<std::uint64_t>(scale)));
  return buffer;
}

// The inverse: "1.5" with 3 digits is 1500; nullopt for anything else.
std::optional<std::int64_t> ParseDecimal(std::string_view text, int digits) {
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() || fraction.size() > static_cast<std::size_t>(digits)) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : whole) {
    if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  for (int i = 0; i < digits; ++i) {
    const char c = static_cast<std::size_t>(i) < fraction.size() ? fraction[static_cast<std::size_t>(i)] : '0';
    if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

template <typename T>
bool ParseWhole(std::string_view text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseReal(std::string_view text, double& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// "2026-12-08T14:00:00+01:00" -> Unix seconds and the offset.
bool ParseHourStart(std::string_view text, std::int64_t& unixSeconds, long& offset) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, oh = 0, om = 0;
  char sign = 0;
  if (text.size() != 25) return false;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d", &y, &mo, &d, &h, &mi, &s, &sign, &oh, &om) != 9)
    return false;
  if ((sign != '+' && sign != '-') || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || om > 59)
    return false;
  offset = (sign == '-' ? -1 : 1) * static_cast<long>(oh * 3600 + om * 60);
  unixSeconds = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 +
                s - offset;
  return true;
}

// The fields of one CSV line; a field in quotes may hold commas and "".
std::vector<std::string> SplitCsv(std::string_view line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

std::string QuotedName(const std::string& name) {
  if (name.find_first_of(",\"\r\n") == std::string::npos) return name;
  std::string quoted = "\"";
  for (const char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c == '\n' || c == '\r' ? ' ' : c);
  return quoted + "\"";
}

std::string Watts(double watts) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", watts);
  return buffer;
}

int ReadAll(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return errno != 0 ? errno : ENOENT;
  std::ostringstream content;
  content << in.rdbuf();
  text = content.str();
  return in.bad() ? EIO : 0;
}

}  // namespace

void OutletEnergy::Add(const OutletEnergy& other) {
  microWh += other.microWh;
  measuredMs += other.measuredMs;
  gaps += other.gaps;
  if (other.anyPower) {
    SeePower(other.maxW);
    SeePower(other.minW);
  }
}

void OutletEnergy::SeePower(double watts) {
  maxW = anyPower ? std::max(maxW, watts) : watts;
  minW = anyPower ? std::min(minW, watts) : watts;
  anyPower = true;
}

std::string EnergyLedgerName(std::uint32_t serial) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "kvx-energy-%05X.csv", serial);
  return buffer;
}

std::string EnergyStateName(std::uint32_t serial) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "kvx-energy-%05X.state", serial);
  return buffer;
}

std::int64_t LocalDay(std::int64_t unixSeconds, long utcOffsetSec) {
  const std::int64_t local = unixSeconds + utcOffsetSec;
  return (local >= 0 ? local : local - 86399) / 86400;
}

std::string FormatHourStart(std::int64_t unixSeconds, long utcOffsetSec) {
  const std::int64_t days = LocalDay(unixSeconds, utcOffsetSec);
  const std::int64_t second = unixSeconds + utcOffsetSec - days * 86400;
  int y = 0, m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  const long offset = utcOffsetSec < 0 ? -utcOffsetSec : utcOffsetSec;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", y, m, d,
                static_cast<int>(second / 3600), static_cast<int>(second / 60 % 60), static_cast<int>(second % 60),
                utcOffsetSec < 0 ? '-' : '+', offset / 3600, offset / 60 % 60);
  return buffer;
}

std::string FormatLedgerRow(const LedgerRow& row) {
  char serial[16];
  std::snprintf(serial, sizeof serial, "%06X", row.serial);
  const OutletEnergy& e = row.energy;
  return FormatHourStart(row.hourStart, row.utcOffsetSec) + ',' + serial + ',' + std::to_string(row.outlet) + ',' +
         QuotedName(row.name) + ',' + Decimal(e.microWh, 6, 1000000) + ',' + Decimal(e.measuredMs, 3, 1000) + ',' +
         std::to_string(e.gaps) + ',' + (e.anyPower ? Watts(e.maxW) : "") + ',' + (e.anyPower ? Watts(e.minW) : "") +
         '\n';
}

std::optional<LedgerRow> ParseLedgerRow(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  const std::vector<std::string> f = SplitCsv(line);
  if (f.size() != 9) return std::nullopt;
  LedgerRow row;
  const auto microWh = ParseDecimal(f[4], 6);
  const auto measuredMs = ParseDecimal(f[5], 3);
  if (!ParseHourStart(f[0], row.hourStart, row.utcOffsetSec) || !microWh || !measuredMs) return std::nullopt;
  const auto [end, ec] = std::from_chars(f[1].data(), f[1].data() + f[1].size(), row.serial, 16);
  if (ec != std::errc() || end != f[1].data() + f[1].size()) return std::nullopt;
  if (!ParseWhole(f[2], row.outlet) || row.outlet < 1 || row.outlet > 4 || !ParseWhole(f[6], row.energy.gaps))
    return std::nullopt;
  row.name = f[3];
  row.energy.microWh = *microWh;
  row.energy.measuredMs = *measuredMs;
  if (!f[7].empty() || !f[8].empty()) {
    if (!ParseReal(f[7], row.energy.maxW) || !ParseReal(f[8], row.energy.minW)) return std::nullopt;
    row.energy.anyPower = true;
  }
  return row;
}

LedgerContents ReadLedger(const std::string& path) {
  LedgerContents contents;
  std::string text;
  const int error = ReadAll(path, text);
  if (error == ENOENT) return contents;
  contents.exists = true;
  if (error != 0) {
    contents.error = DescribeError("read", path, error);
    return contents;
  }
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a line without its end was never a whole row
    const std::string_view line(text.data() + start, end - start + 1);
    if (auto row = ParseLedgerRow(line)) contents.rows.push_back(std::move(*row));
    else if (start != 0 || line.substr(0, 11) != "hour_start,") ++contents.malformed;
    start = end + 1;
  }
  return contents;
}

LedgerFiles::LedgerFiles(std::string directory, std::uint32_t serial)
    : directory_(directory.empty() ? "." : std::move(directory)),
      ledgerPath_(directory_ + "/" + EnergyLedgerName(serial)),
      statePath_(directory_ + "/" + EnergyStateName(serial)) {}

int LedgerFiles::Append(const std::string& block) {
  const int fd = ::open(ledgerPath_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  struct stat before {};
  int error = ::fstat(fd, &before) == 0 ? 0 : errno;
  // A new (empty) ledger gets its header in the same write as its first rows.
  if (error == 0) error = WriteAll(fd, before.st_size == 0 ? std::string(ENERGY_LEDGER_HEADER) + block : block);
  if (error != 0) {
    struct stat after {};
    if (::fstat(fd, &after) == 0 && after.st_size > before.st_size) (void)::ftruncate(fd, before.st_size);
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

int LedgerFiles::SaveState(const std::string& block) {
  if (block.empty()) return ::unlink(statePath_.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  const std::string temporary = statePath_ + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = WriteAll(fd, block);
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), statePath_.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}

int LedgerFiles::Commit(const std::string& block) {
  if (block.empty()) return SaveState({});
  if (const int error = SaveState(block)) return error;
  if (const int error = Append(block)) return error;
  return SaveState({});
}

int LedgerFiles::Recover() {
  // A save cut short by a kill leaves its temporary file: never the state.
  ::unlink((statePath_ + ".new").c_str());
  std::string block;
  const int error = ReadAll(statePath_, block);
  if (error == ENOENT || (error == 0 && block.empty())) return SaveState({});
  if (error != 0) return error;
  // Only whole lines count: a state file is replaced whole, but be sure.
  block.resize(block.rfind('\n') == std::string::npos ? 0 : block.rfind('\n') + 1);
  std::string ledger;
  const int readError = ReadAll(ledgerPath_, ledger);
  if (readError != 0 && readError != ENOENT) return readError;
  const bool present = ledger.size() >= block.size() && ledger.compare(ledger.size() - block.size(), block.size(), block) == 0;
  if (!present && !block.empty())
    if (const int appendError = Append(block)) return appendError;
  return SaveState({});
}

}  // namespace kvx::recording
