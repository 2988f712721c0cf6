#include "history/log_loader.h"

#include "device/protocol.h"
#include "history/journal_causes.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace kvx::history {

namespace {

constexpr std::size_t HEADER_LINES = 6;

// "2026/12/08 21:51:25" as Unix milliseconds in the process's time zone.
std::optional<std::int64_t> RecordTime(std::string_view text) {
  if (text.size() != 19 || text[4] != '/' || text[7] != '/' || text[10] != ' ' || text[13] != ':' || text[16] != ':')
    return std::nullopt;
  const auto number = [&](std::size_t at, std::size_t length, int& value) {
    const auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + length, value);
    return ec == std::errc() && end == text.data() + at + length;
  };
  std::tm tm{};
  int year = 0, month = 0;
  if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, tm.tm_mday) || !number(11, 2, tm.tm_hour) ||
      !number(14, 2, tm.tm_min) || !number(17, 2, tm.tm_sec))
    return std::nullopt;
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t) * 1000;
}

// One record line without its CR LF: the time and the four outlets' values.
bool ParseRecord(std::string_view line, std::int64_t& unixMs, std::array<double, 4>& values) {
  std::array<std::string_view, 9> fields{};
  std::size_t count = 0;
  for (std::size_t start = 0; count < fields.size();) {
    const std::size_t comma = line.find(',', start);
    fields[count++] = line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (count != fields.size() || (fields[1] != "on" && fields[1] != "off")) return false;
  const auto time = RecordTime(fields[0]);
  if (!time) return false;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::string_view f = fields[2 + k];
    const auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), values[k]);
    if (ec != std::errc() || end != f.data() + f.size()) return false;
  }
  unixMs = *time;
  return true;
}

void LoadFile(HistoryStore& store, const std::filesystem::path& path, std::uint32_t serial, bool power,
              std::int64_t beforeMs, std::vector<std::int64_t>& times, LoadResult& result) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  std::size_t start = 0, number = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {  // the last line, without its end: torn
      ++result.skippedLines;
      break;
    }
    const std::string_view line(text.data() + start, end - start);
    start = end + 2;
    if (number++ < HEADER_LINES) continue;
    std::int64_t unixMs = 0;
    std::array<double, 4> values{};
    if (!ParseRecord(line, unixMs, values)) {
      ++result.skippedLines;
      continue;
    }
    if (unixMs >= beforeMs) continue;
    store.Add(serial, power, unixMs, values, /*stalls=*/false);
    times.push_back(unixMs);
    ++result.records;
  }
  ++result.files;
}

// The stretches without records, each with the journal's cause.
std::vector<Gap> FindGaps(std::vector<std::int64_t>& times, const std::vector<JournalEvent>& events,
                          std::int64_t beforeMs) {
  std::vector<Gap> gaps;
  if (times.empty()) return gaps;
  std::sort(times.begin(), times.end());
  std::vector<std::int64_t> spacing;
  for (std::size_t i = 1; i < times.size(); ++i)
    if (times[i] > times[i - 1]) spacing.push_back(times[i] - times[i - 1]);
  const std::int64_t usual = UsualSpacing(std::move(spacing), Pyramid::BASE_MS);
  const std::int64_t limit = 2 * usual + 1000;
  const auto add = [&](std::int64_t from, std::int64_t to) {
    // Record times are whole seconds: the next record came up to 999 ms after its text.
    gaps.push_back(Gap{from, to, CauseBetween(events, from, to + 999)});
  };
  for (std::size_t i = 1; i < times.size(); ++i)
    if (times[i] - times[i - 1] > limit) add(times[i - 1], times[i]);
  if (beforeMs != INT64_MAX && beforeMs - times.back() > limit) add(times.back(), beforeMs);
  return gaps;
}

}  // namespace

std::optional<LogFileName> ParseLogFileName(const std::string& name) {
  unsigned serial = 0;
  char kind = 0;
  if (!name.ends_with(".csv") || std::sscanf(name.c_str(), "%X_ALL_%c_", &serial, &kind) != 2 ||
      (kind != 'A' && kind != 'W'))
    return std::nullopt;
  // The recorder's own spelling of the serial only ("1A2B3", not "01a2b3"),
  // and "_ALL_A_" / "_ALL_W_" whole.
  const std::string prefix = protocol::FormatSerialName(serial) + "_ALL_";
  if (name.rfind(prefix, 0) != 0 || name.size() <= prefix.size() + 1 || name[prefix.size() + 1] != '_')
    return std::nullopt;
  return LogFileName{serial, kind == 'W'};
}

LoadResult LoadLogDirectory(HistoryStore& store, const std::string& directory, std::uint32_t serial,
                            const LoadProgress& progress, std::int64_t beforeMs) {
  LoadResult result;
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    const auto log = ParseLogFileName(it->path().filename().string());
    if (log && log->serial == serial) files.push_back(it->path());
  }
  if (error) {
    result.error = directory + ": " + error.message();
    return result;
  }
  // In time order: the stamp after "_ALL_A_" / "_ALL_W_", so the two kinds interleave.
  const std::size_t stamp = protocol::FormatSerialName(serial).size() + 7;
  std::sort(files.begin(), files.end(), [stamp](const std::filesystem::path& a, const std::filesystem::path& b) {
    return a.filename().string().substr(stamp) < b.filename().string().substr(stamp);
  });
  std::vector<std::int64_t> times;
  for (std::size_t i = 0; i < files.size(); ++i) {
    LoadFile(store, files[i], serial, ParseLogFileName(files[i].filename().string())->power, beforeMs, times, result);
    if (progress) progress(i + 1, files.size());
  }
  JournalFacts journal = ReadJournal(directory, serial);
  const std::vector<Gap> gaps = FindGaps(times, journal.events, beforeMs);
  result.gaps = gaps.size();
  result.outletNames = std::move(journal.outletNames);
  store.AddGaps(serial, gaps);
  return result;
}

}  // namespace kvx::history
