#include "device/sim/request_trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device/printable_text.h"
#include "device/protocol.h"

namespace kvx::sim {

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return "-";
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0x0F];
  }
  return out;
}

std::string Printf(const char* format, auto... args) {
  char buffer[96] = {};
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

std::string Prefix(double timeMs, std::optional<std::uint32_t> serial, const char* on) {
  const std::string sn = serial ? protocol::FormatSerialName(*serial) : std::string("-");
  return Printf("%.3f", timeMs) + " sn=" + sn + " on=" + on;
}

const char* KindName(HandleKind kind) {
  switch (kind) {
    case HandleKind::Interface: return "iface";
    case HandleKind::Pipe: return "pipe";
    case HandleKind::Unknown: return "-";
  }
  return "-";
}

const char* CodeName(std::uint32_t code) {
  switch (code) {
    case protocol::IOCTL_STRIP_STOP: return "STOP";
    case protocol::IOCTL_STRIP_SET_EVENT: return "SET_EVENT";
    case protocol::IOCTL_STRIP_CONTROL_TRANSFER: return "TRANSFER";
    default: return "OTHER";
  }
}

const char* StatusName(device::ReadStatus status) {
  switch (status) {
    case device::ReadStatus::Completed: return "completed";
    case device::ReadStatus::TimedOut: return "timedout";
    case device::ReadStatus::Cancelled: return "cancelled";
    case device::ReadStatus::Failed: return "failed";
  }
  return "failed";
}

}  // namespace

std::string FormatRequestLine(std::optional<std::uint32_t> serial, const RequestRecord& record) {
  std::string line = Prefix(record.timeMs, serial, KindName(record.on));
  line += " ctl=";
  line += CodeName(record.code);
  line += Printf(" code=%08X", static_cast<unsigned>(record.code));
  if (record.setup) {
    const protocol::SetupFields& s = *record.setup;
    line += Printf(" setup=%02X:%02X:%04X:%04X:%04X", unsigned{s.bmRequestType}, unsigned{s.bRequest},
                   unsigned{s.wValue}, unsigned{s.wIndex}, unsigned{s.wLength});
  } else {
    line += " in=" + Hex(record.input);
  }
  line += record.ok ? " result=ok" : " result=fail";
  line += " returned=" + std::to_string(record.bytesReturned);
  line += " reply=" + Hex(record.reply);
  return line;
}

std::string FormatReadLine(std::optional<std::uint32_t> serial, const ReadRecord& record) {
  std::string line = Prefix(record.timeMs, serial, KindName(record.on));
  line += " read status=";
  line += StatusName(record.status);
  line += " bytes=" + std::to_string(record.bytes);
  line += " data=" + Hex(record.data);
  return line;
}

namespace {

// What would make every write fail, checked once the file is open: the
// full device (Linux's character device 1:7) and a file system without a free
// block for this user.
std::string WhyNotWritable(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::strerror(errno);
  if (S_ISCHR(info.st_mode) && major(info.st_rdev) == 1 && minor(info.st_rdev) == 7)
    return std::strerror(ENOSPC);
  if (S_ISREG(info.st_mode)) {
    struct statvfs space {};
    if (::fstatvfs(fd, &space) == 0) {
      const auto freeBlocks = ::geteuid() == 0 ? space.f_bfree : space.f_bavail;
      if (freeBlocks == 0) return std::strerror(ENOSPC);
    }
  }
  return {};
}

void SayOnStandardError(const std::string& message) {
  const std::string text = message + "\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

TraceSink::~TraceSink() {
  std::lock_guard lock(mutex_);
  CloseOwnedLocked();
}

void TraceSink::CloseOwnedLocked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  file_ = nullptr;
  stream_ = nullptr;
}

bool TraceSink::OpenFile(const std::string& path, std::string& error) {
  const std::string name = "cannot open trace file '" + PrintableText(path) + "': ";
  // Without O_NONBLOCK a FIFO would hold the start until some reader opens it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) {
    error = name + (errno == ENXIO ? std::string("no process reads the FIFO") : std::strerror(errno));
    return false;
  }
  const std::string why = WhyNotWritable(fd);
  const int flags = ::fcntl(fd, F_GETFL);
  if (!why.empty() || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    error = name + (why.empty() ? std::strerror(errno) : why);
    ::close(fd);
    return false;
  }
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  std::lock_guard lock(mutex_);
  CloseOwnedLocked();
  fd_ = fd;
  path_ = path;
  regular_ = regular;
  wholeLinesEnd_ = 0;
  failure_.clear();
  return true;
}

void TraceSink::SetFile(std::FILE* file) {
  std::lock_guard lock(mutex_);
  CloseOwnedLocked();
  file_ = file;
  path_ = "(stream)";
  failure_.clear();
}

void TraceSink::SetStream(std::ostream* stream) {
  std::lock_guard lock(mutex_);
  CloseOwnedLocked();
  stream_ = stream;
  path_ = "(stream)";
  failure_.clear();
}

void TraceSink::SetFailureHandler(FailureHandler handler) {
  std::lock_guard lock(mutex_);
  onFailure_ = std::move(handler);
}

bool TraceSink::Enabled() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0 || file_ != nullptr || stream_ != nullptr;
}

std::string TraceSink::Failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

// One write per line, so a line is either in the file or not; a write that
// got only part of the line out is cut back off a regular file.
bool TraceSink::WriteFdLocked(const std::string& text, std::string& failure) {
  ssize_t written = -1;
  do {
    written = ::write(fd_, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(text.size())) {
    wholeLinesEnd_ += text.size();
    return true;
  }
  failure = written < 0 ? std::strerror(errno) : std::string("only part of a line could be written");
  if (written > 0 && regular_ && ::ftruncate(fd_, static_cast<off_t>(wholeLinesEnd_)) != 0)
    failure += "; the torn last line could not be cut off";
  return false;
}

void TraceSink::Write(const std::string& line) {
  FailureHandler handler;
  std::string message;
  {
    std::lock_guard lock(mutex_);
    const std::string text = line + '\n';
    std::string failure;
    bool ok = true;
    if (fd_ >= 0) {
      ok = WriteFdLocked(text, failure);
    } else if (file_) {
      ok = std::fputs(text.c_str(), file_) >= 0 && std::fflush(file_) == 0;
      if (!ok) failure = std::strerror(errno);
    } else if (stream_) {
      ok = static_cast<bool>(stream_->write(text.data(), static_cast<std::streamsize>(text.size())).flush());
      if (!ok) failure = "the stream failed";
    }
    if (ok) return;
    CloseOwnedLocked();
    failure_ = failure;
    message = "trace file '" + PrintableText(path_) + "' failed: " + failure +
              "; the trace ends with its last whole line";
    handler = onFailure_;
  }
  if (handler) handler(message);
  else SayOnStandardError(message);
}

}  // namespace kvx::sim
