// The CSV recorder with real files in a scratch directory (on /dev/shm when
// there is one, so the syncs cost nothing). The input is a program of up to
// MAX_OPERATIONS steps: summary readings of either kind with any values
// (NaN, infinities, huge numbers), any tick steps and local times, closes,
// the Log check box, new strip identities, record and split intervals and
// logging modes, and the log directory removed, made again or replaced.
//
// Invariants, checked once the recorder is gone (every file synced and closed):
//   - the directories hold log files only, each named by the file-name rule;
//   - every file is its six header lines followed by at least one record,
//     all whole CR LF lines, records of nine fields with no "inf" or "nan";
//   - the records in the files, those in directories that were removed or
//     replaced included, are exactly as many as the recorder says it wrote.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "acquisition/app_state.h"
#include "acquisition/control_ids.h"
#include "acquisition/control_model.h"
#include "fuzz_check.h"
#include "recording/csv_recorder.h"

namespace {

using namespace kvx;
using kvx::fuzz::Require;
namespace fs = std::filesystem;

constexpr int MAX_OPERATIONS = 200;

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t Word(int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | Byte();
    return value;
  }
  double Double() {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | Byte();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

class FuzzClock final : public Clock {
 public:
  std::uint32_t TickCount() override { return tick; }
  void Sleep(std::uint32_t) override {}
  LocalTime Now() override { return time; }
  std::uint32_t tick = 0;
  LocalTime time{2026, 12, 6, 15, 38, 5, 42};
};

// A value as a strip would give one (mostly), or any double at all.
double Value(Bytes& in) {
  const std::uint8_t how = in.Byte();
  if (how < 200) return static_cast<double>(in.Word(2)) / (how % 2 == 0 ? 1.0 : 1.0001);
  return in.Double();
}

LocalTime Time(Bytes& in) {
  return LocalTime{1970 + static_cast<int>(in.Word(2) % 8030), 1 + in.Byte() % 12, 1 + in.Byte() % 28,
                   in.Byte() % 24, in.Byte() % 60, in.Byte() % 60, static_cast<int>(in.Word(2) % 1000)};
}

fs::path ScratchRoot() {
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "kvx-fuzz-recorder-XXXXXX").string();
  Require(mkdtemp(pattern.data()) != nullptr, "scratch directory made");
  return pattern;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The whole lines of `text`; false when a piece without CR LF (or a lone CR or LF) is found.
bool WholeLines(const std::string& text, std::vector<std::string>& lines) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) return false;
    std::string line = text.substr(start, end - start);
    if (line.find_first_of("\r\n") != std::string::npos) return false;
    lines.push_back(std::move(line));
    start = end + 2;
  }
  return true;
}

// Checks one log file and returns its number of records.
std::size_t CheckFile(const fs::path& path) {
  static const std::regex name(R"(^[0-9A-F]{5,}_ALL_([AW])_\d{8}_\d{6}_\d{3}\.csv$)");
  static const std::regex identity(R"(^,[0-9A-F]{6,},V[0-9A-F]\.[0-9A-F]L[0-9A-F]{2},,,,$)");
  static const std::regex record(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d,(on|off),[^,]+(,[^,]+){6}$)");
  std::smatch m;
  const std::string file = path.filename().string();
  Require(std::regex_match(file, m, name), "a log file name");
  const bool power = m[1] == "W";
  std::vector<std::string> lines;
  const std::string text = ReadAll(path);
  Require(WholeLines(text, lines), "whole CR LF lines only");
  Require(lines.size() >= 7, "the header and at least one record");
  Require(lines[0] == "hostname,LM-3827QD,,,,," && lines[1] == "MAC Address,00:00:00:00:00:00,,,,," &&
              lines[2] == "IP Address,000.000.000.000,,,,,",
          "identification lines");
  Require(lines[3] == (power ? "unit,electric power[W],,,,," : "unit,electric ampere [A],,,,,"), "unit line of the kind");
  Require(std::regex_match(lines[4], identity), "serial and firmware line");
  Require(lines[5] == "date,state,ch1,ch2,ch3,ch4,V,Hz,Temp", "column titles");
  for (std::size_t i = 6; i < lines.size(); ++i) {
    Require(std::regex_match(lines[i], record), "a record of nine fields");
    Require(!kvx::fuzz::LooksNonFinite(lines[i]), "no inf or nan in a record");
  }
  return lines.size() - 6;
}

// The event journal beside the files: whole lines, each one JSON object.
void CheckJournal(const fs::path& path) {
  const std::string text = ReadAll(path);
  Require(text.empty() || text.back() == '\n', "the journal ends with a whole line");
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    Require(line.rfind("{\"time\":\"", 0) == 0 && line.back() == '}', "a journal line is one whole object");
    start = end + 1;
  }
}

std::size_t CheckTree(const fs::path& root) {
  std::size_t records = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_directory()) continue;
    if (entry.path().filename() == recording::JOURNAL_FILE_NAME) {
      CheckJournal(entry.path());
      continue;
    }
    records += CheckFile(entry.path());
  }
  return records;
}

void Run(Bytes& in, const fs::path& root) {
  const fs::path logs = root / "logs";
  const fs::path attic = root / "attic";
  fs::create_directory(logs);
  fs::create_directory(attic);
  LogSettings settings;
  ControlModel controls;
  FuzzClock clock;
  settings.logIntervalSec = 0;
  controls.SetCheck(ids::LOG_CHECK, true);
  CsvRecorder recorder(settings, controls, clock, logs.string());
  recorder.SetConnectionIdentity(ConnectionIdentity{0x1A2B3, "01A2B3", "V2.0L10"});
  recorder.StartTimers(clock.tick);
  int moved = 0;
  for (int step = 0; step < MAX_OPERATIONS && !in.Empty(); ++step) {
    switch (in.Byte() % 9) {
      case 0:
      case 1: {
        clock.tick += in.Word(2) % 3000;
        const std::uint8_t kindByte = in.Byte();
        const int kind = kindByte < 120 ? LOG_KIND_CURRENT : kindByte < 240 ? LOG_KIND_POWER : kindByte;
        const bool isOn = (kindByte & 1) != 0;
        const std::array<double, 4> present{Value(in), Value(in), Value(in), Value(in)};
        recorder.LogSummaryReading(clock.tick, clock.Now(), kind, isOn, present, Value(in), Value(in), Value(in));
        break;
      }
      case 2: recorder.CloseLogFiles(CloseReason::LogSwitchedOff); break;
      case 3: controls.SetCheck(ids::LOG_CHECK, !controls.IsChecked(ids::LOG_CHECK)); break;
      case 4: {
        const std::uint32_t serial = in.Word(3);
        const std::uint8_t b0 = in.Byte();
        const std::uint8_t b1 = in.Byte();
        recorder.SetConnectionIdentity(
            ConnectionIdentity{serial, protocol::FormatSerialText(serial), protocol::FormatFirmwareText(b0, b1)});
        break;
      }
      case 5: {
        const std::uint8_t which = in.Byte();
        settings.logIntervalSec = which % 4 == 0 ? in.Word(2) % 3601 : 0;
        settings.splitIntervalSec = which % 3 == 0 ? in.Word(4) : in.Byte() % 3;
        settings.logMode.store(std::array<std::int32_t, 4>{0, 1, 2, 102}[which % 4]);
        break;
      }
      case 6: {
        // Removed (kept aside to be checked) or replaced, or made again.
        std::error_code error;
        if (fs::exists(logs)) fs::rename(logs, attic / std::to_string(moved++), error);
        if (in.Byte() % 2 == 0) fs::create_directory(logs, error);
        break;
      }
      case 7: clock.time = Time(in); break;
      case 8: recorder.CloseLogFilesAndWait(CloseReason::Split); break;
    }
  }
  std::error_code error;
  fs::create_directory(logs, error);
  recorder.CloseLogFilesAndWait();
  const std::uint64_t written = recorder.Status().recordsWritten;
  Require(CheckTree(root) == written, "every record written is in a file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A fresh scratch directory per input; one that breaks an invariant is left for a look.
  const fs::path root = ScratchRoot();
  Bytes in(data, size);
  Run(in, root);
  fs::remove_all(root);
  return 0;
}
