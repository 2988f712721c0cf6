// One CSV log file on disk, written in whole lines with POSIX calls. It is
// always a new file (created exclusively, so nothing existing is overwritten)
// and is flushed to disk when it is closed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvx::recording {

// "<what> <path>: <reason>", e.g. "write ./1A2B3_ALL_A_....csv: File too large".
std::string DescribeError(std::string_view what, const std::string& path, int error);

struct AppendResult {
  bool ok = true;
  int error = 0;               // errno of the failure
  bool partialLineLeft = false;  // a piece of the line could not be removed from the file
};

class LogFile {
 public:
  LogFile() = default;
  ~LogFile();  // closes (with fsync) if still open
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Creates `path` exclusively (O_CREAT | O_EXCL, appending). Returns 0, or the
  // errno of the failure (EEXIST when the name is taken); this object stays
  // closed then.
  int Create(const std::string& path);

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // Writes the line with one write(2) call; a short write is completed with
  // further calls. When the line cannot be written whole, what was written of
  // it is cut off again (ftruncate to the end of the last whole line), so the
  // file never holds half a line followed by the next one.
  AppendResult AppendLine(std::string_view line);

  // fsync and close; returns 0 or the errno of the first failing call. The
  // object is closed afterwards in every case.
  int SyncAndClose();

 private:
  int fd_ = -1;
  std::string path_;
  std::uint64_t committed_ = 0;  // bytes of whole lines in the file
};

}  // namespace kvx::recording
