// What the acquisition thread learns, as one stream of events that every
// consumer listens to: the CSV recorder, the event journal, the metrics and
// whatever else wants to hear it. Each event is a struct with everything a
// listener needs; the thread hands it to its listeners in the order they were
// registered, on the acquisition thread, outside the thread's own locks. See
// README.md in this folder for what each event carries and what a listener
// may not do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "acquisition/sinks.h"
#include "device/clock.h"
#include "device/protocol.h"

namespace kvx {

enum class ConnectionState { Starting, Idle, Opening, Reading, Closing };

// A consistent picture of the thread for the headless status line and tests.
struct AcquisitionStatus {
  ConnectionState state = ConnectionState::Starting;
  bool connected = false;             // a connection is open (Reading)
  std::uint32_t connectionSerial = 0;  // as the strip reported it when the connection opened (the
                                       // listed serial when it did not answer in whole)
  std::uint64_t serialRequestFailures = 0;  // connections whose serial request failed or came back short
  protocol::LineQuantity supplyVolts{};
  protocol::LineQuantity lineFrequencyHz{};
  protocol::LineQuantity temperatureC{};
  std::uint64_t connections = 0;          // connections opened (pipe open, identity read)
  std::uint64_t readings = 0;             // non-empty readings received
  std::uint64_t readingsAccepted = 0;     // handed to the measurement processing
  std::uint64_t readingsDropped = 0;      // refused by the packet-index rule
  std::uint64_t readingsDiscarded = 0;    // first readings after a selection change, and readings
                                          // whose form contradicts the selection last sent
  std::uint64_t emptyReads = 0;           // reads that timed out or transferred 0 bytes
  std::uint64_t environmentRefreshes = 0;
  // Clock ticks: when the connection opened and when its latest non-empty
  // reading came (0: none yet), so a reader can tell a stall from readings.
  std::uint32_t connectedTick = 0;
  std::uint32_t lastReadingTick = 0;
  std::uint64_t waveformFrames = 0;       // completed (packet 32) frames evaluated
};

// The thread started: record intervals and split periods count from `tick`.
struct ThreadStartedEvent {
  std::uint32_t tick = 0;
};

// A connection opened and identified its strip; readings of it follow.
struct ConnectionOpenedEvent {
  std::uint32_t tick = 0;
  ConnectionIdentity identity;
};

// The line quantities of the latest refresh (valid or not: 0 when a request failed).
struct LineValues {
  double supplyVolts = 0.0;
  double lineFrequencyHz = 0.0;
  double temperatureC = 0.0;
};

// One accepted summary reading.
struct SummaryReadingEvent {
  std::uint32_t tick = 0;   // the clock's tick when it arrived
  LocalTime time{};         // local time of its arrival (the clock's)
  int kind = 0;             // LOG_KIND_CURRENT (mA) or LOG_KIND_POWER (W)
  bool power = false;       // kind == LOG_KIND_POWER
  bool isOn = false;        // the strip's state bit
  std::array<double, 4> values{};   // as the strip sent them
  std::array<double, 4> present{};  // as shown and logged (averaged when the box is ticked)
  LineValues line{};
};

// A completed waveform frame of `outlet` (1..4): mA of effective current or W of active power.
struct WaveformValueEvent {
  std::uint32_t tick = 0;
  LocalTime time{};  // local time of the frame's last packet (the clock's)
  std::uint8_t outlet = 0;
  bool power = false;
  double value = 0.0;
};

// A run of `count` consecutive reads that brought nothing, told when it ends
// (a reading came, or the connection ended); ticks of its first and last.
struct ReadTimeoutsEvent {
  std::uint64_t count = 0;
  std::uint32_t firstTick = 0;
  std::uint32_t lastTick = 0;
};

// A request of the connection failed (`request` "REQ_VOLTAGE", ...; `why`
// "failed", "short reply (1 of 2 bytes)"): explains a 0 in a record.
struct RequestFailedEvent {
  std::string request;
  std::string why;
};

// Connections fail at once after they open; the next attempt waits
// `retryMs`. Told when such a run begins, not at every attempt.
struct ConnectionFailingEvent {
  std::string why;
  std::uint32_t retryMs = 0;
};

// The readings before and after belong to different series (another outlet,
// another quantity, another connection): nothing may join them, a CSV file
// included. `reason` is OutletChanged, QuantityChanged or ConnectionEnded.
struct SeriesBreakEvent {
  CloseReason reason = CloseReason::ConnectionEnded;
};

// The connection ended (told before its series break).
struct ConnectionEndedEvent {
  std::uint32_t tick = 0;
  ConnectionEnd end = ConnectionEnd::Stop;
};

// Every method has an empty default: a listener overrides what it needs.
// All run on the acquisition thread. A listener must not block (no disk
// sync, no network round trip, no wait on another thread) and must not take
// the device lock or call into the thread; what it keeps for other threads it
// guards itself. An exception it throws is caught and the listener is told no
// more events.
class AcquisitionListener {
 public:
  virtual ~AcquisitionListener() = default;
  virtual void OnThreadStarted(const ThreadStartedEvent& /*event*/) {}
  virtual void OnConnectionOpened(const ConnectionOpenedEvent& /*event*/) {}
  virtual void OnSummaryReading(const SummaryReadingEvent& /*event*/) {}
  virtual void OnWaveformValue(const WaveformValueEvent& /*event*/) {}
  virtual void OnReadTimeouts(const ReadTimeoutsEvent& /*event*/) {}
  virtual void OnRequestFailed(const RequestFailedEvent& /*event*/) {}
  virtual void OnConnectionFailing(const ConnectionFailingEvent& /*event*/) {}
  virtual void OnSeriesBreak(const SeriesBreakEvent& /*event*/) {}
  virtual void OnConnectionEnded(const ConnectionEndedEvent& /*event*/) {}
  // After every change of the status (state, counters, line quantities).
  virtual void OnStatus(const AcquisitionStatus& /*status*/) {}
};

// The thread's listeners in registration order. A listener that throws is
// dropped from the list and said once through `onFault`, so one faulty
// consumer never stops the others or the thread.
class ListenerList {
 public:
  using FaultFunction = std::function<void(const std::string& message)>;

  void Add(AcquisitionListener& listener) { listeners_.push_back(&listener); }
  void SetFaultFunction(FaultFunction onFault) { onFault_ = std::move(onFault); }
  bool empty() const { return listeners_.empty(); }

  // Calls (listener.*method)(event) on each listener in turn.
  template <typename Event>
  void Tell(void (AcquisitionListener::*method)(const Event&), const Event& event) {
    for (std::size_t i = 0; i < listeners_.size();) {
      if (Call(*listeners_[i], method, event)) {
        ++i;
      } else {
        listeners_.erase(listeners_.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }

 private:
  template <typename Event>
  bool Call(AcquisitionListener& listener, void (AcquisitionListener::*method)(const Event&), const Event& event) {
    try {
      (listener.*method)(event);
      return true;
    } catch (const std::exception& e) {
      Fault(e.what());
    } catch (...) {
      Fault("unknown exception");
    }
    return false;
  }
  void Fault(const std::string& what) {
    if (onFault_) onFault_("kvxclient: a listener of the acquisition failed (" + what + ") and hears no more events");
  }

  std::vector<AcquisitionListener*> listeners_;
  FaultFunction onFault_;
};

}  // namespace kvx
