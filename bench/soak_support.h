// Helpers of the soak run: process figures from /proc, a temporary directory
// that removes itself, the check of the log files written, and the verdict.
#pragma once

#include <cstdint>
#include <string>

namespace kvx::soak {

// VmRSS of this process in KiB (from /proc/self/status); -1 when unreadable.
long ResidentKiB();
// Entries of /proc/self/fd (the descriptor used to list them included); -1 when unreadable.
int OpenFdCount();

// A fresh directory "<TMPDIR or /tmp>/<prefix>.XXXXXX", removed with its
// contents when this object goes.
class TempDirectory {
 public:
  explicit TempDirectory(const std::string& prefix);
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  std::string error_;
};

// The CSV files in a directory: how many, their record lines (every line
// after the six header lines), their bytes, and lines not ended by CR LF.
struct LogFiles {
  std::uint64_t files = 0;
  std::uint64_t recordLines = 0;
  std::uint64_t bytes = 0;
  std::uint64_t badLines = 0;  // without CR LF, or a file shorter than its header
};
LogFiles CountLogFiles(const std::string& directory);

struct Figures {
  std::uint64_t readings = 0;
  std::uint64_t records = 0;
  long rssKiB = 0;
  int fds = 0;
  double seconds = 0.0;
};
void PrintFigures(const char* when, const Figures& figures);

struct SoakResult {
  std::uint64_t target = 0;
  Figures start;     // before the client exists
  Figures baseline;  // after the warm-up
  Figures end;       // when the target was reached, client still running
  std::uint64_t records = 0;  // records written, counted after shutdown
  int peakFds = 0;
  int fdsAfter = 0;  // the client and driver destroyed
  int openHandles = 0;  // simulated driver handles left after shutdown
  std::uint64_t connections = 0;
  std::uint64_t frames = 0;
  std::uint64_t switches = 0;
  int plugCycles = 0;
  int announcedEvents = 0;
  std::string recorderError;  // the recorder's last failure, empty when none
  LogFiles files;
  double seconds = 0.0;
};

// Prints the summary and every failed check; returns the exit status (0 = passed).
int Judge(const SoakResult& result);

// Prints "soak FAILED: <why>" and returns 1.
int Fail(const std::string& why);

}  // namespace kvx::soak
