// A data file for NUT's dummy-ups driver (port = FILE.dev, mode dummy-once:
// it reads the file again whenever its time stamp changes), kept up to date
// by a thread of its own at most once a second: the strip as a PDU with four
// outlets, their names, their current or power (whichever the strip
// measures; the other is never made up), and the line quantities. The file
// is written to FILE.new and renamed over FILE, so the driver never reads
// half of it.
//
// During a gap (no reading for STALE_AFTER, the strip unplugged or not yet
// there) the measured values are withdrawn: dummy-ups keeps a variable once
// it has read it, even when a newer file lacks it, so they are written as
// "n/a" (a NUT client shows that text; an exporter that reads numbers drops
// the sample), with "ups.status: OFF" and the reason in "ups.alarm". At the
// end the file says OFF with the reason "stopped".
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "publish/live_values.h"

namespace kvx::publish {

// The file's text for a state (`now` decides whether it is fresh).
std::string ComposeNutFile(const LiveState& state, std::chrono::steady_clock::time_point now,
                           const std::string& stoppedBecause = {});

// Writes `text` to `path` + ".new" and renames it over `path`; false with
// `error` (the temporary file removed) when it cannot.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

class NutFileWriter {
 public:
  NutFileWriter(std::string path, const LiveValues& live);
  ~NutFileWriter();  // Stop()
  NutFileWriter(const NutFileWriter&) = delete;
  NutFileWriter& operator=(const NutFileWriter&) = delete;

  // Writes the file once (false with `error` when it cannot be written: the
  // start refuses a path it cannot use), then keeps it up to date.
  bool Start(std::string& error);
  // Ends the thread and leaves the file saying the client stopped.
  void Stop();
  std::uint64_t rewrites() const;

 private:
  bool Write(const std::string& text, std::string& error);
  void Run();

  const std::string path_;
  const LiveValues& live_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::uint64_t rewrites_ = 0;
  std::string written_;
  bool failing_ = false;
  std::thread thread_;
};

}  // namespace kvx::publish
