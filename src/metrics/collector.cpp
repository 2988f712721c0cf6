#include "metrics/collector.h"

#include <chrono>

namespace kvx::metrics {

namespace {
// Divided, not multiplied by 0.001: 250 mA reads 0.25 A, not 0.25000000000000006.
constexpr double MILLI_PER_UNIT = 1000.0;
}  // namespace

MetricsCollector::MetricsCollector(MetricsBoard& board, std::function<LogFacts()> logFacts, EnergyFunction energy)
    : board_(board), logFacts_(std::move(logFacts)), energy_(std::move(energy)) {}

StripMetrics* MetricsCollector::LiveStrip(MetricsSnapshot& working) {
  if (working.liveSerial == 0) return nullptr;
  return &working.strips[working.liveSerial];
}

void MetricsCollector::OnConnectionOpened(const ConnectionOpenedEvent& event) {
  board_.Update([&](MetricsSnapshot& working) {
    const ConnectionIdentity& identity = event.identity;
    identifiedSerial_ = identity.connectionSerial;
    working.strips[identifiedSerial_].firmware = identity.firmwareText;
    working.strips[identifiedSerial_].outletNames = identity.outletNames;
    // A new connection: no value of the previous one is shown for this strip.
    working.live = LiveValues{};
    if (energy_)
      if (const auto totals = energy_(identifiedSerial_)) working.strips[identifiedSerial_].energy = *totals;
    refreshesAtConnection_ = previous_.environmentRefreshes;
  });
}

void MetricsCollector::OnSummaryReading(const SummaryReadingEvent& reading) {
  board_.Update([&](MetricsSnapshot& working) {
    StripMetrics* strip = LiveStrip(working);
    if (!strip) return;
    LiveValues& live = working.live;
    live.view = View::Summary;
    live.summaryPower = reading.power;
    for (std::size_t k = 0; k < 4; ++k) {
      live.summary[k] = reading.power ? reading.values[k] : reading.values[k] / MILLI_PER_UNIT;
    }
    live.on = reading.isOn;
    if (energy_)
      if (const auto totals = energy_(working.liveSerial)) strip->energy = *totals;
    strip->lastReadingUnixSeconds = UnixSeconds(reading.time);
    if (logFacts_) {
      const LogFacts log = logFacts_();
      working.loggingFailing = log.failing;
      working.logRecords = log.recordsWritten;
    }
  });
}

void MetricsCollector::OnWaveformValue(const WaveformValueEvent& event) {
  board_.Update([&](MetricsSnapshot& working) {
    StripMetrics* strip = LiveStrip(working);
    if (!strip) return;
    LiveValues& live = working.live;
    live.view = View::Waveform;
    live.waveOutlet = event.outlet;
    live.wavePower = event.power;
    live.waveValue = event.power ? event.value : event.value / MILLI_PER_UNIT;
    strip->lastReadingUnixSeconds = UnixSeconds(event.time);
  });
}

void MetricsCollector::OnStatus(const AcquisitionStatus& status) {
  board_.Update([&](MetricsSnapshot& working) {
    // The thread's counters only grow; what they grew by belongs to the strip
    // of the latest connection.
    if (identifiedSerial_ != 0) {
      StripMetrics& strip = working.strips[identifiedSerial_];
      strip.readings += status.readings - previous_.readings;
      strip.readingsDropped += status.readingsDropped - previous_.readingsDropped;
      strip.readTimeouts += status.emptyReads - previous_.emptyReads;
      strip.connections += status.connections - previous_.connections;
    }
    const bool connected = status.connected && identifiedSerial_ != 0;
    for (auto& [serial, strip] : working.strips) strip.connected = connected && serial == identifiedSerial_;
    if (!connected && working.liveSerial != 0) working.live = LiveValues{};
    working.liveSerial = connected ? identifiedSerial_ : 0;
    // Line quantities of an earlier connection are not this one's.
    if (connected && status.environmentRefreshes != refreshesAtConnection_) {
      working.live.volts = status.supplyVolts;
      working.live.hertz = status.lineFrequencyHz;
      working.live.celsius = status.temperatureC;
    }
    previous_ = status;
  });
}

}  // namespace kvx::metrics
