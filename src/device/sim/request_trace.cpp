#include "device/sim/request_trace.h"

#include <cerrno>
#include <cstring>

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
  const std::string sn = serial ? Printf("%05X", static_cast<unsigned>(*serial)) : std::string("-");
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

TraceSink::~TraceSink() {
  std::lock_guard lock(mutex_);
  CloseOwnedLocked();
}

void TraceSink::CloseOwnedLocked() {
  if (ownsFile_ && file_) std::fclose(file_);
  file_ = nullptr;
  ownsFile_ = false;
  stream_ = nullptr;
}

bool TraceSink::OpenFile(const std::string& path, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) {
    error = "cannot open trace file '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::lock_guard lock(mutex_);
  CloseOwnedLocked();
  file_ = file;
  ownsFile_ = true;
  return true;
}

void TraceSink::SetFile(std::FILE* file) {
  std::lock_guard lock(mutex_);
  CloseOwnedLocked();
  file_ = file;
}

void TraceSink::SetStream(std::ostream* stream) {
  std::lock_guard lock(mutex_);
  CloseOwnedLocked();
  stream_ = stream;
}

bool TraceSink::Enabled() const {
  std::lock_guard lock(mutex_);
  return file_ != nullptr || stream_ != nullptr;
}

void TraceSink::Write(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (file_) {
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }
  if (stream_) {
    *stream_ << line << '\n';
    stream_->flush();
  }
}

}  // namespace kvx::sim
