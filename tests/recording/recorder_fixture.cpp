#include "recorder_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kvx::test {

std::string ExpectedHeader(int kind) {
  return std::string("hostname,LM-3827QD,,,,,\r\n"
                     "MAC Address,00:00:00:00:00:00,,,,,\r\n"
                     "IP Address,000.000.000.000,,,,,\r\n") +
         (kind == LOG_KIND_POWER ? "unit,electric power[W],,,,,\r\n" : "unit,electric ampere [A],,,,,\r\n") +
         ",01A2B3,V2.0L10,,,,\r\n"
         "date,state,ch1,ch2,ch3,ch4,V,Hz,Temp\r\n";
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    const std::size_t stop = end == std::string::npos ? text.size() : end + 2;
    lines.push_back(text.substr(start, stop - start));
    start = stop;
  }
  return lines;
}

bool IsWholeLines(const std::string& text) {
  for (const std::string& line : SplitLines(text)) {
    if (line.size() < 2 || line.substr(line.size() - 2) != "\r\n") return false;
    if (line.find_first_of("\r\n") != line.size() - 2) return false;
  }
  return true;
}

RecorderTest::RecorderTest() : scratch("kvx-recording"), dir(scratch.path()) { MakeRecorder(); }

RecorderTest::~RecorderTest() {
  recorder.reset();
  journal.reset();
}

void RecorderTest::MakeRecorder(const std::string& directory, recording::CreateMethod method,
                                recording::FileSyncer::SyncFunction sync) {
  recorder.reset();
  journal.reset();
  const std::string where = directory.empty() ? dir : directory;
  journal = std::make_unique<recording::JournalListener>(settings, controls, clock, where);
  recorder = std::make_unique<CsvRecorder>(settings, controls, clock, where, journal.get(), method, std::move(sync));
  const ConnectionOpenedEvent opened{clock.TickCount(), ConnectionIdentity{0x1A2B3, "01A2B3", "V2.0L10"}};
  journal->OnConnectionOpened(opened);  // the Log box is not ticked yet: it only learns the serial
  recorder->OnConnectionOpened(opened);
  recorder->OnThreadStarted(ThreadStartedEvent{clock.TickCount()});
}

void RecorderTest::Reading(int kind, bool isOn, std::array<double, 4> present, double hz) {
  recorder->LogSummaryReading(clock.TickCount(), clock.Now(), kind, isOn, present, 101.0, hz, 31.25);
}

std::vector<std::string> RecorderTest::Files() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename() != recording::JOURNAL_FILE_NAME) names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kvx::test
