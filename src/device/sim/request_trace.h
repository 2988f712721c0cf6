// The record of what a simulated strip was asked: one entry per control call
// and per read, the stable one-line text of each (docs/simulator.md), and the
// thread-safe sink that writes those lines to a file or stream.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Writes whole lines, one at a time, to at most one destination.
class TraceSink {
 public:
  TraceSink() = default;
  ~TraceSink();
  TraceSink(const TraceSink&) = delete;
  TraceSink& operator=(const TraceSink&) = delete;

  bool OpenFile(const std::string& path, std::string& error);  // truncates
  void SetFile(std::FILE* file);        // not closed by the sink; null stops tracing
  void SetStream(std::ostream* stream); // not owned; null stops tracing
  bool Enabled() const;
  void Write(const std::string& line);  // appends '\n' and flushes

 private:
  void CloseOwnedLocked();

  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool ownsFile_ = false;
  std::ostream* stream_ = nullptr;
};

}  // namespace kvx::sim
