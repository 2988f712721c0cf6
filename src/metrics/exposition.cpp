#include "metrics/exposition.h"
#include "device/protocol.h"

#include <charconv>
#include <cstdio>
#include <vector>

namespace kvx::metrics {

namespace {

// Shortest text that reads back as the same double.
std::string Number(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string Escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// One metric family: HELP and TYPE, then its samples. A family without
// samples is left out entirely.
class Family {
 public:
  Family(const char* name, const char* type, const char* help) : name_(name), type_(type), help_(help) {}

  void Add(const std::string& labels, double value) {
    samples_ += name_;
    if (!labels.empty()) samples_ += "{" + labels + "}";
    samples_ += ' ' + Number(value) + '\n';
  }
  void WriteTo(std::string& out) const {
    if (samples_.empty()) return;
    out += "# HELP " + name_ + ' ' + help_ + '\n';
    out += "# TYPE " + name_ + ' ' + type_ + '\n';
    out += samples_;
  }

 private:
  std::string name_;
  std::string type_;
  std::string help_;
  std::string samples_;
};

std::string StripLabel(std::uint32_t serial) { return "serial=\"" + protocol::FormatSerialText(serial) + "\""; }
std::string OutletLabel(std::uint32_t serial, std::size_t outlet) {
  return StripLabel(serial) + ",outlet=\"" + std::to_string(outlet) + "\"";
}

void AddLiveValues(const MetricsSnapshot& s, Family& current, Family& power, Family& rms, Family& active,
                   Family& volts, Family& hertz, Family& celsius, Family& on) {
  if (s.liveSerial == 0) return;
  const LiveValues& live = s.live;
  const std::string strip = StripLabel(s.liveSerial);
  if (live.view == View::Summary) {
    Family& family = live.summaryPower ? power : current;
    for (std::size_t k = 0; k < 4; ++k) family.Add(OutletLabel(s.liveSerial, k + 1), live.summary[k]);
  }
  if (live.view == View::Waveform && live.waveOutlet >= 1 && live.waveOutlet <= 4) {
    (live.wavePower ? active : rms).Add(OutletLabel(s.liveSerial, live.waveOutlet), live.waveValue);
  }
  if (live.volts.valid) volts.Add(strip, live.volts.value);
  if (live.hertz.valid) hertz.Add(strip, live.hertz.value);
  if (live.celsius.valid) celsius.Add(strip, live.celsius.value);
  if (live.on) on.Add(strip, *live.on ? 1 : 0);
}

}  // namespace

std::string FormatExposition(const MetricsSnapshot& s) {
  Family current("kvx_outlet_current_amperes", "gauge", "Current of each outlet from the latest summary reading.");
  Family power("kvx_outlet_power_watts", "gauge", "Power of each outlet from the latest summary reading.");
  Family rms("kvx_outlet_rms_current_amperes", "gauge", "Effective current of the outlet shown as a waveform.");
  Family active("kvx_outlet_active_power_watts", "gauge", "Active power of the outlet shown as a waveform.");
  Family volts("kvx_supply_voltage_volts", "gauge", "Supply voltage measured by the strip.");
  Family hertz("kvx_supply_frequency_hertz", "gauge", "Mains frequency measured by the strip.");
  Family celsius("kvx_strip_temperature_celsius", "gauge", "Internal temperature of the strip.");
  Family on("kvx_strip_on", "gauge", "1 while the strip reports its outlets switched on.");
  Family connected("kvx_strip_connected", "gauge", "1 while the client has a connection to the strip.");
  Family info("kvx_strip_info", "gauge", "Identity of each strip seen since start; always 1.");
  Family lastReading("kvx_last_reading_timestamp_seconds", "gauge", "Unix time of the strip's latest reading.");
  Family failing("kvx_logging_failing", "gauge", "1 while CSV records cannot be written.");
  Family readings("kvx_readings_total", "counter", "Readings received from the strip.");
  Family dropped("kvx_readings_dropped_total", "counter", "Readings refused for an out-of-order packet index.");
  Family timeouts("kvx_read_timeouts_total", "counter", "Reads that timed out or returned nothing.");
  Family connections("kvx_connections_total", "counter", "Connections opened to the strip.");
  Family records("kvx_log_records_total", "counter", "CSV records written.");
  Family energy("kvx_outlet_energy_joules_total", "counter",
                "Energy drawn through each outlet while power was read, as the energy ledger holds it.");
  Family energyCreated("kvx_outlet_energy_joules_created", "gauge", "Unix time the energy ledger began.");
  Family measured("kvx_outlet_energy_measured_seconds_total", "counter",
                  "Time over which each outlet's energy was measured, as the energy ledger holds it.");
  Family outletInfo("kvx_outlet_info", "gauge", "The name given to each outlet (--outlet-names); always 1.");

  AddLiveValues(s, current, power, rms, active, volts, hertz, celsius, on);
  for (const auto& [serial, strip] : s.strips) {
    const std::string label = StripLabel(serial);
    connected.Add(label, strip.connected ? 1 : 0);
    info.Add(label + ",firmware=\"" + Escaped(strip.firmware) + "\"", 1);
    if (strip.lastReadingUnixSeconds) lastReading.Add(label, *strip.lastReadingUnixSeconds);
    readings.Add(label, static_cast<double>(strip.readings));
    dropped.Add(label, static_cast<double>(strip.readingsDropped));
    timeouts.Add(label, static_cast<double>(strip.readTimeouts));
    connections.Add(label, static_cast<double>(strip.connections));
    for (std::size_t k = 0; k < 4; ++k) {
      energy.Add(OutletLabel(serial, k + 1), strip.energy.joules[k]);
      if (strip.energy.createdUnixSeconds > 0)
        energyCreated.Add(OutletLabel(serial, k + 1), strip.energy.createdUnixSeconds);
      measured.Add(OutletLabel(serial, k + 1), strip.energy.measuredSeconds[k]);
      if (!strip.outletNames[k].empty())
        outletInfo.Add(OutletLabel(serial, k + 1) + ",name=\"" + Escaped(strip.outletNames[k]) + "\"", 1);
    }
  }
  failing.Add("", s.loggingFailing ? 1 : 0);
  records.Add("", static_cast<double>(s.logRecords));

  std::string out;
  for (const Family* family :
       {&current,  &power,       &rms,     &active,      &volts,         &hertz,    &celsius,
        &on,       &connected,   &info,    &lastReading, &failing,       &readings, &dropped,
        &timeouts, &connections, &records, &energy,      &energyCreated, &measured, &outletInfo}) {
    family->WriteTo(out);
  }
  return out;
}

}  // namespace kvx::metrics
