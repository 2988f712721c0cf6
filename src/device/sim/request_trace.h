// The record of what a simulated strip was asked: one entry per control call
// and per read, the stable one-line text of each (docs/simulator.md), and the
// thread-safe sink that writes those lines to a file or stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "device/driver.h"
#include "device/protocol.h"

namespace kvx::sim {

enum class HandleKind {
  Interface,
  Pipe,
  Unknown,  // a handle the driver does not know (only in the trace)
};

// One control call as the strip saw it.
struct RequestRecord {
  double timeMs = 0.0;  // since the driver started
  HandleKind on = HandleKind::Unknown;
  std::uint32_t code = 0;
  std::optional<protocol::SetupFields> setup;  // IOCTL_STRIP_CONTROL_TRANSFER with an 8-byte packet
  std::vector<std::uint8_t> input;             // the input bytes as given
  bool ok = false;
  std::uint32_t bytesReturned = 0;
  std::vector<std::uint8_t> reply;             // the bytes written to the output buffer
};

// One read on a pipe handle.
struct ReadRecord {
  double timeMs = 0.0;  // when the read returned
  HandleKind on = HandleKind::Pipe;
  device::ReadStatus status = device::ReadStatus::Failed;
  std::uint32_t bytes = 0;
  std::vector<std::uint8_t> data;  // the bytes transferred
};

// `serial` is nullopt for a handle the driver does not know.
std::string FormatRequestLine(std::optional<std::uint32_t> serial, const RequestRecord& record);
std::string FormatReadLine(std::optional<std::uint32_t> serial, const ReadRecord& record);

// Writes whole lines, one at a time, to at most one destination. The first
// failed write ends the trace: a file then ends with its last whole line, and
// the failure is said once (through the failure handler; by default one line
// on standard error).
class TraceSink {
 public:
  using FailureHandler = std::function<void(const std::string& message)>;

  TraceSink() = default;
  ~TraceSink();
  TraceSink(const TraceSink&) = delete;
  TraceSink& operator=(const TraceSink&) = delete;

  // Truncates. Refuses at once what cannot take a trace: no such directory, no
  // permission, a FIFO nobody reads (without waiting for a reader), a full
  // file system or the full device.
  bool OpenFile(const std::string& path, std::string& error);
  void SetFile(std::FILE* file);        // not closed by the sink; null stops tracing
  void SetStream(std::ostream* stream); // not owned; null stops tracing
  void SetFailureHandler(FailureHandler handler);  // null: standard error
  bool Enabled() const;
  std::string Failure() const;          // why the trace ended; empty while it runs
  void Write(const std::string& line);  // appends '\n' and flushes

 private:
  void CloseOwnedLocked();
  bool WriteFdLocked(const std::string& text, std::string& failure);

  mutable std::mutex mutex_;
  int fd_ = -1;                // owned, from OpenFile
  std::string path_;
  bool regular_ = false;       // fd_ is a regular file: a torn line can be cut off
  std::uint64_t wholeLinesEnd_ = 0;
  std::FILE* file_ = nullptr;
  std::ostream* stream_ = nullptr;
  std::string failure_;
  FailureHandler onFailure_;
};

}  // namespace kvx::sim
