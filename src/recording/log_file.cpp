#include "recording/log_file.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvx::recording {
namespace {

// strerror is not thread-safe; strerror_r comes in a GNU flavour (returns the
// text) and an XSI flavour (fills the buffer); these two overloads take either.
[[maybe_unused]] const char* ErrorText(const char* result, const char*) { return result; }
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "unknown error";
}

}  // namespace

std::string DescribeError(std::string_view what, const std::string& path, int error) {
  char buffer[128] = {};
  const char* text = ErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
  std::string message(what);
  message += ' ';
  message += path;
  message += ": ";
  message += text;
  return message;
}

LogFile::~LogFile() { SyncAndClose(); }

int LogFile::Create(const std::string& path) {
  SyncAndClose();
  // O_APPEND: after a cut-off partial line the next line lands at the new end.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  fd_ = fd;
  path_ = path;
  committed_ = 0;
  return 0;
}

AppendResult LogFile::AppendLine(std::string_view line) {
  if (fd_ < 0) return AppendResult{false, EBADF, false};
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : EIO;  // a write of 0 bytes would never progress
    if (done == 0) return AppendResult{false, error, false};
    const bool cut = ::ftruncate(fd_, static_cast<off_t>(committed_)) == 0;
    return AppendResult{false, error, !cut};
  }
  committed_ += done;
  return AppendResult{};
}

int LogFile::SyncAndClose() {
  if (fd_ < 0) return 0;
  int error = 0;
  if (::fsync(fd_) != 0) error = errno;
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd_) != 0 && error == 0) error = errno;
  fd_ = -1;
  path_.clear();
  return error;
}

}  // namespace kvx::recording
