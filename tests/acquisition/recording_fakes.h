// Recorders of what the acquisition thread tells its listeners, the waveform
// graph and the window. Thread-safe: the thread writes while the
// test reads.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/listener.h"
#include "acquisition/sinks.h"

namespace kvx::test {

struct LoggedReading {
  std::uint32_t arrivalTick = 0;
  LocalTime readingTime{};
  int kind = 0;
  bool isOn = false;
  std::array<double, 4> present{};
  double supplyVolts = 0.0;
  double lineFrequencyHz = 0.0;
  double temperatureC = 0.0;
};

class RecordingRecorder : public AcquisitionListener {
 public:
  void OnThreadStarted(const ThreadStartedEvent& event) override {
    std::lock_guard lock(mutex_);
    startTicks_.push_back(event.tick);
    events_.push_back("StartTimers");
  }
  void OnConnectionOpened(const ConnectionOpenedEvent& event) override {
    std::lock_guard lock(mutex_);
    identities_.push_back(event.identity);
    events_.push_back("Identity " + event.identity.serialText);
    events_.push_back("ConnectionStarted");
  }
  void OnSummaryReading(const SummaryReadingEvent& e) override {
    std::lock_guard lock(mutex_);
    readings_.push_back({e.tick, e.time, e.kind, e.isOn, e.present, e.line.supplyVolts, e.line.lineFrequencyHz,
                         e.line.temperatureC});
  }
  void OnSeriesBreak(const SeriesBreakEvent& event) override {
    std::lock_guard lock(mutex_);
    ++closeCount_;
    events_.push_back(std::string("Close ") + CloseReasonName(event.reason));
  }
  void OnConnectionEnded(const ConnectionEndedEvent& event) override {
    Add(std::string("ConnectionEnded ") + ConnectionEndName(event.end));
  }
  void OnReadTimeouts(const ReadTimeoutsEvent& event) override { Add("ReadTimeouts " + std::to_string(event.count)); }
  void OnRequestFailed(const RequestFailedEvent& event) override {
    Add("RequestFailed " + event.request + " " + event.why);
  }

  std::vector<std::uint32_t> StartTicks() const { return Locked(startTicks_); }
  std::vector<ConnectionIdentity> Identities() const { return Locked(identities_); }
  std::vector<LoggedReading> Readings() const { return Locked(readings_); }
  std::vector<std::string> Events() const { return Locked(events_); }
  int CloseCount() const {
    std::lock_guard lock(mutex_);
    return closeCount_;
  }

 private:
  void Add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  template <typename T>
  T Locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }
  mutable std::mutex mutex_;
  std::vector<std::uint32_t> startTicks_;
  std::vector<ConnectionIdentity> identities_;
  std::vector<LoggedReading> readings_;
  std::vector<std::string> events_;
  int closeCount_ = 0;
};

struct DrawnFrame {
  std::array<double, protocol::WAVEFORM_SAMPLES> frame{};
  double waveMin = 0.0;
  double waveMax = 0.0;
};

class RecordingGraph : public WaveformSink {
 public:
  void DrawWaveform(const std::array<double, protocol::WAVEFORM_SAMPLES>& frame, double waveMin,
                    double waveMax) override {
    std::lock_guard lock(mutex_);
    frames_.push_back({frame, waveMin, waveMax});
  }
  std::vector<DrawnFrame> Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<DrawnFrame> frames_;
};

class RecordingWindow : public WindowLink {
 public:
  void AddStripToTree(const std::string& label, int position) override {
    Add("AddStripToTree " + label + " " + std::to_string(position));
  }
  void RegisterInterfaceNotifications() override { Add("RegisterInterfaceNotifications"); }
  void ClickDeviceTree() override { Add("ClickDeviceTree"); }
  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  void Add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

}  // namespace kvx::test
