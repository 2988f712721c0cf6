#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <unordered_map>

#include "device/driver.h"
#include "device/sim/scenario.h"
#include "device/sim/strip_memory.h"

namespace kvx::sim {

LoadSpec LoadSpec::Empty() { return LoadSpec{}; }

LoadSpec LoadSpec::Heater(double watts) {
  LoadSpec load;
  load.type = LoadType::Heater;
  load.rating = watts;
  return load;
}

LoadSpec LoadSpec::Smps(double watts, double pulseWidthDeg, double phaseDeg) {
  LoadSpec load;
  load.type = LoadType::Smps;
  load.rating = watts;
  load.pulseWidthDeg = pulseWidthDeg;
  load.phaseDeg = phaseDeg;
  return load;
}

LoadSpec LoadSpec::Compressor(double watts, double phaseDeg, std::int64_t cycleMs, double duty) {
  LoadSpec load;
  load.type = LoadType::Compressor;
  load.rating = watts;
  load.phaseDeg = phaseDeg;
  load.cycleMs = cycleMs;
  load.duty = duty;
  return load;
}

StripSpec::StripSpec() : factoryCalibration(DefaultFactoryCalibration()) {}

std::array<protocol::ChannelCalibration, OUTLETS> DefaultFactoryCalibration() {
  // The current sensor gives about 1.395 mA per raw count (4 A per 2867.2
  // counts, the span of one grid division of the waveform graph at gain 1);
  // each outlet's sensor deviates by up to 1 %. Above 6000 counts (about 8.4 A)
  // the sensor reads slightly high, so the high segment has a 1.4 % smaller
  // gain, with its offset chosen so that both segments meet at the threshold.
  // The small gain step keeps a waveform's count range nearly symmetric about
  // the baseline, which the client's centring on the middle of the range needs.
  constexpr std::uint16_t divisor = 10000;
  constexpr std::uint16_t threshold = 6000;
  constexpr std::uint16_t gainStep = 200;
  constexpr std::uint16_t multipliers[OUTLETS] = {13951, 13812, 14087, 13896};
  std::array<protocol::ChannelCalibration, OUTLETS> records{};
  for (std::size_t k = 0; k < OUTLETS; ++k) {
    protocol::ChannelCalibration& r = records[k];
    r.lowDivisor = divisor;
    r.lowMultiplier = multipliers[k];
    r.lowOffset = 0;  // its high byte is the record's flag: clear
    r.threshold = threshold;
    r.highDivisor = divisor;
    r.highMultiplier = static_cast<std::uint16_t>(multipliers[k] - gainStep);
    r.highOffset = static_cast<std::uint16_t>(threshold * gainStep / divisor);
  }
  return records;
}

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string StripName(std::size_t index) { return "strips[" + std::to_string(index) + "]"; }

bool IsClass(const std::string& guid) {
  return guid.empty() || guid == device::primaryInterfaceGuid || guid == device::fallbackInterfaceGuid;
}

std::string ClassOf(const StripSpec& strip) {
  return strip.interfaceGuid.empty() ? std::string(device::primaryInterfaceGuid) : strip.interfaceGuid;
}

bool Fail(std::string& error, const std::string& where, const std::string& what) {
  error = where + ": " + what;
  return false;
}

bool InRange(double value, double low, double high) { return std::isfinite(value) && value >= low && value <= high; }

bool ValidateLoad(const LoadSpec& load, const std::string& where, std::string& error) {
  if (load.type == LoadType::Empty) return true;
  if (!InRange(load.rating, 0.0, 1e6)) return Fail(error, where, "rating must be between 0 and 1000000");
  if (load.type == LoadType::Heater && load.phaseDeg != 0.0)
    return Fail(error, where + ".phaseDeg", "a heater draws current in phase (0)");
  if (load.type == LoadType::Compressor) {
    if (!InRange(load.phaseDeg, 0.0, 85.0)) return Fail(error, where + ".phaseDeg", "must be between 0 and 85");
    if (load.cycleMs < 0 || load.cycleMs > MAX_SCENARIO_TIME_MS)
      return Fail(error, where + ".cycleMs", "must be between 0 and " + std::to_string(MAX_SCENARIO_TIME_MS));
    if (load.cycleOffsetMs < -MAX_SCENARIO_TIME_MS || load.cycleOffsetMs > MAX_SCENARIO_TIME_MS)
      return Fail(error, where + ".cycleOffsetMs", "must be between -" + std::to_string(MAX_SCENARIO_TIME_MS) +
                                                       " and " + std::to_string(MAX_SCENARIO_TIME_MS));
    if (!InRange(load.duty, 0.0, 1.0)) return Fail(error, where + ".duty", "must be between 0 and 1");
  }
  if (load.type == LoadType::Smps) {
    if (!InRange(load.phaseDeg, -60.0, 60.0)) return Fail(error, where + ".phaseDeg", "must be between -60 and 60");
    // Narrower pulses lose more than a few percent of their RMS current in the
    // client's smoothing filter, so its waveform values would stray from the summary.
    if (!InRange(load.pulseWidthDeg, 50.0, 170.0))
      return Fail(error, where + ".pulseWidthDeg", "must be between 50 and 170");
  }
  return true;
}

bool ValidateFaults(const StripFaults& faults, const std::string& where, std::string& error) {
  for (int outlet : faults.flaggedRecords)
    if (outlet < 1 || outlet > 4) return Fail(error, where + ".flaggedRecords", "outlets are 1 to 4");
  for (const ZeroDivisor& zero : faults.zeroDivisors)
    if (zero.outlet < 1 || zero.outlet > 4) return Fail(error, where + ".zeroDivisors", "outlets are 1 to 4");
  return true;
}

bool ValidateStrip(const StripSpec& strip, const std::string& where, std::string& error) {
  if (strip.serial > 0xFFFFFF) return Fail(error, where + ".serial", "must fit in 24 bits");
  if (!IsClass(strip.interfaceGuid)) return Fail(error, where + ".interface", "must be primary or fallback");
  if (strip.pathLength > MAX_PATH_LENGTH)
    return Fail(error, where + ".pathLength", "must be at most " + std::to_string(MAX_PATH_LENGTH));
  for (std::size_t k = 0; k < OUTLETS; ++k)
    if (!ValidateLoad(strip.outlets[k], where + ".outlets[" + std::to_string(k) + "]", error)) return false;
  for (const MemoryPatch& patch : strip.memory)
    if (patch.offset + patch.bytes.size() > MEMORY_PAGE_SIZE)
      return Fail(error, where + ".memory", "bytes run past the end of the 256-byte page");
  return ValidateFaults(strip.faults, where + ".faults", error);
}

bool ValidateEvent(const TimelineEvent& event, std::size_t strips, const std::string& where, std::string& error) {
  if (event.atMs < 0 || event.atMs > MAX_SCENARIO_TIME_MS)
    return Fail(error, where + ".atMs", "must be between 0 and " + std::to_string(MAX_SCENARIO_TIME_MS));
  if (event.strip >= strips) return Fail(error, where + ".strip", "names no strip of the scenario");
  if (event.type == EventType::Stall && (event.durationMs <= 0 || event.durationMs > MAX_SCENARIO_TIME_MS))
    return Fail(error, where + ".durationMs", "a stall needs a positive duration of at most " +
                                                 std::to_string(MAX_SCENARIO_TIME_MS));
  if (event.type == EventType::Load) {
    if (event.outlet < 1 || event.outlet > 4) return Fail(error, where + ".outlet", "outlets are 1 to 4");
    return ValidateLoad(event.load, where + ".load", error);
  }
  return true;
}

}  // namespace

std::string DefaultDevicePath(std::uint32_t serial, std::string_view classGuid, int duplicate, std::size_t length) {
  char instance[32] = {};
  std::snprintf(instance, sizeof instance, "%05x", serial);
  std::string id = instance;
  if (duplicate > 0) id += "&" + std::to_string(duplicate);
  const std::string head = "\\\\?\\usb#vid_fff0&pid_0001#";
  const std::string tail = "#" + Lower(classGuid);
  const std::size_t natural = head.size() + id.size() + tail.size();
  if (length > natural) id += "&" + std::string(length - natural - 1, '0');
  return head + id + tail;
}

std::vector<std::string> ResolvedPaths(const Scenario& scenario) {
  std::vector<std::string> paths;
  std::map<std::uint32_t, int> seen;
  for (const StripSpec& strip : scenario.strips) {
    const int duplicate = seen[strip.serial]++;
    paths.push_back(strip.path.empty()
                        ? DefaultDevicePath(strip.serial, ClassOf(strip), duplicate, strip.pathLength)
                        : strip.path);
  }
  return paths;
}

Scenario DefaultScenario() {
  Scenario scenario;
  StripSpec kitchen;
  kitchen.serial = 0x1A2B3;
  kitchen.firmware = {0x10, 0x21};
  kitchen.outlets = {LoadSpec::Heater(1200.0),                       // kettle / fan heater
                     LoadSpec::Smps(150.0, 60.0, -10.0),              // desktop computer
                     LoadSpec::Compressor(150.0, 40.0, 40000, 0.5),   // refrigerator
                     LoadSpec::Empty()};
  StripSpec office;
  office.serial = 0x2C4D5;
  office.firmware = {0x0C, 0x20};
  office.temperatureCount = 2871;
  office.outlets = {LoadSpec::Smps(65.0, 50.0, -8.0),                // laptop supply
                    LoadSpec::Empty(),
                    LoadSpec::Heater(600.0),                          // space heater, low setting
                    LoadSpec::Compressor(700.0, 30.0, 90000, 0.7)};  // air conditioner
  scenario.strips = {kitchen, office};
  return scenario;
}

bool ValidateScenario(const Scenario& scenario, std::string& error) {
  for (std::size_t i = 0; i < scenario.strips.size(); ++i)
    if (!ValidateStrip(scenario.strips[i], StripName(i), error)) return false;
  // Paths are compared without regard to case; one look-up per strip keeps
  // this linear in the number of strips.
  const std::vector<std::string> paths = ResolvedPaths(scenario);
  std::unordered_map<std::string, std::size_t> firstWithPath;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const auto [it, added] = firstWithPath.emplace(Lower(paths[i]), i);
    if (!added) return Fail(error, StripName(i) + ".path", "same path as " + StripName(it->second));
  }
  for (std::size_t i = 0; i < scenario.enumerationErrors.size(); ++i)
    if (!IsClass(scenario.enumerationErrors[i].interfaceGuid))
      return Fail(error, "enumerationErrors[" + std::to_string(i) + "].interface", "must be primary or fallback");
  for (std::size_t i = 0; i < scenario.timeline.size(); ++i)
    if (!ValidateEvent(scenario.timeline[i], scenario.strips.size(), "timeline[" + std::to_string(i) + "]", error))
      return false;
  return true;
}

}  // namespace kvx::sim
