// A recorder on a fresh temporary directory, with a fake clock and fresh
// logging settings and controls (all the recorder reads), plus helpers to feed
// readings and read the files back.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/app_state.h"
#include "acquisition/control_ids.h"
#include "acquisition/control_model.h"
#include "recording/csv_recorder.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace kvx::test {

// The record of the fixture's Reading() at the clock's start, and at another time of that day.
inline const std::string kRecord = "2026/12/06 15:38:05,on,00123,00000,01500,00042,101,60.00,31.25\r\n";
inline std::string RecordAt(const std::string& hhmmss) {
  return "2026/12/06 " + hhmmss + ",on,00123,00000,01500,00042,101,60.00,31.25\r\n";
}

// The header of a file of serial 0x1A2B3, firmware V2.0L10.
std::string ExpectedHeader(int kind);

std::string ReadWholeFile(const std::string& path);
// Lines with their CR LF; a trailing piece without CR LF is returned as a line too.
std::vector<std::string> SplitLines(const std::string& text);
// True when the text is whole CR LF lines (and no CR or LF elsewhere).
bool IsWholeLines(const std::string& text);

// Lowers this process's file-size limit for the test's lifetime. SIGXFSZ is
// ignored meanwhile, so an oversize write fails with EFBIG instead of killing
// the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    active_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() { Lift(); }
  void Lift() {
    if (!active_) return;
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
    active_ = false;
  }
  bool Active() const { return active_; }

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = SIG_DFL;
  bool active_ = false;
};

class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest();
  ~RecorderTest() override;

  // A recorder on `directory` (default: the fresh temporary directory) for
  // serial 0x1A2B3, firmware V2.0L10, its timers started at the present tick.
  void MakeRecorder(const std::string& directory = "",
                    recording::CreateMethod method = recording::CreateMethod::Unnamed,
                    recording::FileSyncer::SyncFunction sync = {});
  void SetChecked(bool checked) { controls.SetCheck(ids::LOG_CHECK, checked); }
  // One summary reading at the clock's present tick and time.
  void Reading(int kind = LOG_KIND_CURRENT, bool isOn = true,
               std::array<double, 4> present = {123.0, 0.0, 1500.0, 42.0}, double hz = 60.0);
  // The CSV file names in the directory (the event journal left out), sorted.
  std::vector<std::string> Files() const;
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  std::string Contents(const std::string& name) const { return ReadWholeFile(Path(name)); }

  TempDir scratch;
  std::string dir;  // scratch's path
  LogSettings settings;
  ControlModel controls;
  FakeClock clock;
  std::unique_ptr<recording::JournalListener> journal;  // before the recorder, which tells it
  std::unique_ptr<CsvRecorder> recorder;
};

}  // namespace kvx::test
