#include "recording/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kvx::recording {
namespace {

// strerror is not thread-safe; strerror_r comes in a GNU flavour (returns the
// text) and an XSI flavour (fills the buffer); these two overloads take either.
[[maybe_unused]] const char* ErrorText(const char* result, const char*) { return result; }
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "unknown error";
}


// Errors of open(O_TMPFILE) that mean "this filesystem (or kernel) has no
// unnamed files", as opposed to a directory that is missing or not writable.
bool NoUnnamedFiles(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Gives the unnamed file `fd` the name `path`; linkat never replaces a name.
// Through /proc/self/fd first (no privilege needed); where /proc is not
// mounted, AT_EMPTY_PATH (which needs CAP_DAC_READ_SEARCH).
int LinkUnnamed(int fd, const std::string& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  const int error = errno;
  if (error != ENOENT || ::access("/proc/self/fd", F_OK) == 0) return error;
  return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

int CloseKeepingError(int fd, int error) {
  ::close(fd);
  return error;
}

}  // namespace

int WriteAll(int fd, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 ? errno : EIO;
    }
  }
  return 0;
}

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

LogFile::LogFile(LogFile&& other) noexcept { *this = std::move(other); }

LogFile& LogFile::operator=(LogFile&& other) noexcept {
  if (this == &other) return *this;
  SyncAndClose();
  fd_ = std::exchange(other.fd_, -1);
  path_ = std::move(other.path_);
  directory_ = std::move(other.directory_);
  fileDevice_ = other.fileDevice_;
  fileInode_ = other.fileInode_;
  directoryDevice_ = other.directoryDevice_;
  directoryInode_ = other.directoryInode_;
  committed_ = other.committed_;
  other.path_.clear();
  return *this;
}

int LogFile::Create(const std::string& directory, std::string_view content,
                    const std::function<std::string(int)>& pathAt, int attempts, CreateMethod method) {
  SyncAndClose();
  if (method == CreateMethod::Unnamed) {
    bool unsupported = false;
    const int error = CreateUnnamed(directory, content, pathAt, attempts, unsupported);
    if (!unsupported) return error;
  }
  return CreateExclusive(directory, content, pathAt, attempts);
}

int LogFile::CreateUnnamed(const std::string& directory, std::string_view content,
                           const std::function<std::string(int)>& pathAt, int attempts, bool& unsupported) {
  // O_APPEND: after a cut-off partial line the next line lands at the new end.
  const int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) {
    unsupported = NoUnnamedFiles(errno);
    return errno;
  }
  // A failure up to the link leaves nothing: the unnamed file goes with its descriptor.
  if (const int error = WriteAll(fd, content); error != 0) return CloseKeepingError(fd, error);
  // The content is on disk before the name is, so that even a power loss
  // right after the link leaves no named file short of its header.
  if (::fdatasync(fd) != 0) return CloseKeepingError(fd, errno);
  int error = EEXIST;
  for (int attempt = 0; attempt < attempts && error == EEXIST; ++attempt) {
    std::string path = pathAt(attempt);
    error = LinkUnnamed(fd, path);
    if (error == 0) return Adopt(fd, std::move(path), directory, content.size());
  }
  return CloseKeepingError(fd, error);
}

int LogFile::CreateExclusive(const std::string& directory, std::string_view content,
                             const std::function<std::string(int)>& pathAt, int attempts) {
  int error = EEXIST;
  for (int attempt = 0; attempt < attempts && error == EEXIST; ++attempt) {
    std::string path = pathAt(attempt);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
      error = errno;
      continue;
    }
    // The name was created by this call, so removing it removes nothing of anyone else's.
    error = WriteAll(fd, content);
    if (error != 0) {
      ::unlink(path.c_str());
      return CloseKeepingError(fd, error);
    }
    return Adopt(fd, std::move(path), directory, content.size());
  }
  return error;
}

int LogFile::Adopt(int fd, std::string path, const std::string& directory, std::uint64_t size) {
  struct stat file {};
  struct stat dir {};
  if (::fstat(fd, &file) != 0 || ::stat(directory.c_str(), &dir) != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    return CloseKeepingError(fd, error);
  }
  fd_ = fd;
  path_ = std::move(path);
  directory_ = directory;
  fileDevice_ = file.st_dev;
  fileInode_ = file.st_ino;
  directoryDevice_ = dir.st_dev;
  directoryInode_ = dir.st_ino;
  committed_ = size;
  return 0;
}

Whereabouts LogFile::Check() const {
  struct stat byName {};
  if (::stat(path_.c_str(), &byName) == 0 && byName.st_dev == fileDevice_ && byName.st_ino == fileInode_ &&
      byName.st_nlink > 0) {
    return Whereabouts::InPlace;
  }
  struct stat dir {};
  // A removed working directory still answers to "." but has no links left.
  if (::stat(directory_.c_str(), &dir) != 0 || dir.st_nlink == 0) return Whereabouts::DirectoryGone;
  if (dir.st_dev != directoryDevice_ || dir.st_ino != directoryInode_) return Whereabouts::DirectoryReplaced;
  return Whereabouts::FileGone;
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

int LogFile::Release() {
  path_.clear();
  return std::exchange(fd_, -1);
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
