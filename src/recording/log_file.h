// One CSV log file on disk, written in whole lines with POSIX calls.
//
// A file appears under its name only when it holds its whole first content
// (the header and the first record): it is written unnamed and linked into
// place afterwards, so no kill, crash, full disk or power loss can leave an
// empty file or one with part of its header. A name that exists already is
// never replaced. The file checks at every record that it is still the file
// under its name in the directory it was created in, so nothing is written
// into a file that was deleted, moved away or whose directory was replaced.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kvx::recording {

// "<what> <path>: <reason>", e.g. "write ./1A2B3_ALL_A_....csv: File too large".
std::string DescribeError(std::string_view what, const std::string& path, int error);

// Writes all of `data`, completing short writes: 0, or the errno (EIO for a
// write that makes no progress).
int WriteAll(int fd, std::string_view data);

struct AppendResult {
  bool ok = true;
  int error = 0;                 // errno of the failure
  bool partialLineLeft = false;  // a piece of the line could not be removed from the file
};

// Where an open file stands relative to its name.
enum class Whereabouts {
  InPlace,             // the name in the directory is this file
  FileGone,            // the directory is there, the name is missing or another file's
  DirectoryGone,       // the directory is missing (or deleted while it is the working directory)
  DirectoryReplaced,   // another directory now has the directory's name
};

// How a new file is made whole before it gets its name.
enum class CreateMethod {
  // O_TMPFILE in the directory, content written and synced to disk, then
  // linked under the name (linkat fails on a taken name). Falls back to
  // ExclusiveName by itself where the filesystem has no unnamed files.
  Unnamed,
  // For filesystems without unnamed files: the name is created exclusively
  // and the whole content goes in with one write; a write that fails or falls
  // short removes the file again. A kill in the middle of that one write or a
  // power loss before the data reach the disk can still leave a short file.
  ExclusiveName,
};

class LogFile {
 public:
  LogFile() = default;
  ~LogFile();  // closes (with fsync) if still open
  LogFile(LogFile&& other) noexcept;
  LogFile& operator=(LogFile&& other) noexcept;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Makes a new file in `directory` holding `content` and names it
  // pathAt(0), or pathAt(1) when that is taken, and so on for up to
  // `attempts` names. Returns 0, or the errno of the failure (EEXIST when
  // every name was taken); on failure nothing is left on disk and this object
  // stays closed.
  int Create(const std::string& directory, std::string_view content,
             const std::function<std::string(int attempt)>& pathAt, int attempts,
             CreateMethod method = CreateMethod::Unnamed);

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // Compares the file and its directory with what is found under their names now.
  Whereabouts Check() const;

  // Writes the line with one write(2) call; a short write is completed with
  // further calls. When the line cannot be written whole, what was written of
  // it is cut off again (ftruncate to the end of the last whole line), so the
  // file never holds half a line followed by the next one.
  AppendResult AppendLine(std::string_view line);

  // Gives up the descriptor without syncing it (for a syncer that fsyncs and
  // closes it elsewhere); the object is closed afterwards. -1 when closed.
  int Release();

  // fsync and close; returns 0 or the errno of the first failing call. The
  // object is closed afterwards in every case.
  int SyncAndClose();

 private:
  int CreateUnnamed(const std::string& directory, std::string_view content,
                    const std::function<std::string(int)>& pathAt, int attempts, bool& unsupported);
  int CreateExclusive(const std::string& directory, std::string_view content,
                      const std::function<std::string(int)>& pathAt, int attempts);
  int Adopt(int fd, std::string path, const std::string& directory, std::uint64_t size);

  int fd_ = -1;
  std::string path_;
  std::string directory_;
  dev_t fileDevice_ = 0;
  ino_t fileInode_ = 0;
  dev_t directoryDevice_ = 0;
  ino_t directoryInode_ = 0;
  std::uint64_t committed_ = 0;  // bytes of whole lines in the file
};

}  // namespace kvx::recording
