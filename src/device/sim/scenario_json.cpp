// Reading a scenario from JSON. Every value is type-checked and range-checked
// before it is taken, so no exception is raised here (the syntax error of the
// parse is caught in scenario_text.cpp); every failure becomes a message that
// names the offending key.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <unordered_map>

#include "device/driver.h"
#include "device/sim/scenario.h"
#include "device/sim/scenario_reader.h"
#include "device/sim/scenario_text.h"

namespace kvx::sim {

namespace {

using scenario_json::Item;
using scenario_json::json;
using scenario_json::Key;
using scenario_json::Keys;
using scenario_json::Reader;

const std::map<std::string, LoadType, std::less<>> LOAD_TYPES = {
    {"empty", LoadType::Empty}, {"heater", LoadType::Heater}, {"smps", LoadType::Smps},
    {"compressor", LoadType::Compressor}};

const std::map<std::string, std::string, std::less<>> CLASSES = {
    {"primary", std::string(device::primaryInterfaceGuid)},
    {"fallback", std::string(device::fallbackInterfaceGuid)},
    {std::string(device::primaryInterfaceGuid), std::string(device::primaryInterfaceGuid)},
    {std::string(device::fallbackInterfaceGuid), std::string(device::fallbackInterfaceGuid)}};

const std::map<std::string, std::uint8_t, std::less<>> REQUEST_NAMES = {
    {"REQ_SUSPEND", protocol::REQ_SUSPEND},
    {"REQ_SELECT_OUTLET", protocol::REQ_SELECT_OUTLET},
    {"REQ_SELECT_QUANTITY", protocol::REQ_SELECT_QUANTITY},
    {"REQ_UNLOCK", protocol::REQ_UNLOCK},
    {"REQ_RESET_STEP_05", protocol::REQ_RESET_STEP_05},
    {"REQ_RESET_STEP_06", protocol::REQ_RESET_STEP_06},
    {"REQ_RESET_STEP_07", protocol::REQ_RESET_STEP_07},
    {"REQ_RESET_STEP_09", protocol::REQ_RESET_STEP_09},
    {"REQ_FIRMWARE_VERSION", protocol::REQ_FIRMWARE_VERSION},
    {"REQ_SERIAL_NUMBER", protocol::REQ_SERIAL_NUMBER},
    {"REQ_READ_MEMORY", protocol::REQ_READ_MEMORY},
    {"REQ_LINE_PERIOD", protocol::REQ_LINE_PERIOD},
    {"REQ_VOLTAGE", protocol::REQ_VOLTAGE},
    {"REQ_TEMPERATURE", protocol::REQ_TEMPERATURE}};

bool ParseLoad(Reader& r, const json& value, const std::string& where, LoadSpec& load) {
  if (!value.is_object()) return r.Fail(where, "expected an object");
  if (!value.contains("type")) return r.Fail(Key(where, "type"), "missing");
  if (!r.Word(value, where, "type", LOAD_TYPES, load.type)) return false;
  switch (load.type) {
    case LoadType::Empty: return r.Object(value, where, {"type"});
    case LoadType::Heater:
      if (!r.Object(value, where, {"type", "watts", "milliamps"})) return false;
      break;
    case LoadType::Smps:
      load.phaseDeg = -10.0;
      if (!r.Object(value, where, {"type", "watts", "milliamps", "phaseDeg", "pulseWidthDeg"})) return false;
      break;
    case LoadType::Compressor:
      load.phaseDeg = 35.0;
      load.cycleMs = 60000;
      load.duty = 0.5;
      if (!r.Object(value, where, {"type", "watts", "milliamps", "phaseDeg", "cycleMs", "duty", "cycleOffsetMs"}))
        return false;
      break;
  }
  const bool watts = value.contains("watts");
  if (watts == value.contains("milliamps")) return r.Fail(where, "give exactly one of watts and milliamps");
  load.unit = watts ? RatingUnit::Watts : RatingUnit::Milliamps;
  const std::string ratingKey = watts ? "watts" : "milliamps";
  if (!r.Field(value, where, ratingKey, load.rating)) return false;
  if (load.rating < 0.0) return r.Fail(Key(where, ratingKey), "must not be negative");
  return r.Field(value, where, "phaseDeg", load.phaseDeg) && r.Field(value, where, "pulseWidthDeg", load.pulseWidthDeg) &&
         r.Field(value, where, "cycleMs", load.cycleMs) && r.Field(value, where, "duty", load.duty) &&
         r.Field(value, where, "cycleOffsetMs", load.cycleOffsetMs);
}

bool ParseReplyFault(Reader& r, const json& value, const std::string& where, ReplyFault& fault) {
  static const std::map<std::string, ReplyFaultMode, std::less<>> modes = {
      {"fail", ReplyFaultMode::Fail}, {"short", ReplyFaultMode::Short}, {"slow", ReplyFaultMode::Slow},
      {"hang", ReplyFaultMode::Hang}};
  static const std::map<std::string, HandleScope, std::less<>> scopes = {
      {"any", HandleScope::Any}, {"pipe", HandleScope::Pipe}, {"interface", HandleScope::Interface}};
  if (!r.Object(value, where, {"request", "mode", "bytes", "calls", "on", "delayMs"})) return false;
  const auto request = value.find("request");
  if (request == value.end()) return r.Fail(Key(where, "request"), "missing");
  const auto named = request->is_string() ? REQUEST_NAMES.find(request->get<std::string>()) : REQUEST_NAMES.end();
  if (named != REQUEST_NAMES.end()) {
    fault.bRequest = named->second;
  } else if (!r.Take(*request, Key(where, "request"), fault.bRequest)) {
    return false;
  }
  return r.Word(value, where, "mode", modes, fault.mode) && r.Field(value, where, "bytes", fault.bytes) &&
         r.Field(value, where, "calls", fault.calls) && r.Word(value, where, "on", scopes, fault.on) &&
         r.Field(value, where, "delayMs", fault.delayMs);
}

bool ParseFaults(Reader& r, const json& value, const std::string& where, StripFaults& faults) {
  static const std::map<std::string, DivisorFault, std::less<>> divisors = {
      {"low", DivisorFault::Low}, {"high", DivisorFault::High}, {"both", DivisorFault::Both}};
  if (!r.Object(value, where, {"silentEnumerationSerial", "replies", "flaggedRecords", "zeroDivisors",
                               "corruptPacketEvery", "corruptPacketIndex"}))
    return false;
  if (!r.Field(value, where, "silentEnumerationSerial", faults.silentEnumerationSerial) ||
      !r.Field(value, where, "corruptPacketEvery", faults.corruptPacketEvery) ||
      !r.Field(value, where, "corruptPacketIndex", faults.corruptPacketIndex))
    return false;
  if (const auto it = value.find("replies"); it != value.end()) {
    if (!r.Array(*it, Key(where, "replies"))) return false;
    for (std::size_t i = 0; i < it->size(); ++i) {
      ReplyFault fault;
      if (!ParseReplyFault(r, (*it)[i], Item(Key(where, "replies"), i), fault)) return false;
      faults.replies.push_back(fault);
    }
  }
  if (const auto it = value.find("flaggedRecords"); it != value.end()) {
    if (!r.Array(*it, Key(where, "flaggedRecords"))) return false;
    for (std::size_t i = 0; i < it->size(); ++i) {
      std::uint8_t outlet = 0;
      if (!r.Take((*it)[i], Item(Key(where, "flaggedRecords"), i), outlet)) return false;
      faults.flaggedRecords.push_back(outlet);
    }
  }
  if (const auto it = value.find("zeroDivisors"); it != value.end()) {
    if (!r.Array(*it, Key(where, "zeroDivisors"))) return false;
    for (std::size_t i = 0; i < it->size(); ++i) {
      const std::string at = Item(Key(where, "zeroDivisors"), i);
      ZeroDivisor zero;
      std::uint8_t outlet = 0;
      if (!r.Object((*it)[i], at, {"outlet", "which"})) return false;
      if (!(*it)[i].contains("outlet")) return r.Fail(Key(at, "outlet"), "missing");
      if (!r.Field((*it)[i], at, "outlet", outlet) || !r.Word((*it)[i], at, "which", divisors, zero.which)) return false;
      zero.outlet = outlet;
      faults.zeroDivisors.push_back(zero);
    }
  }
  return true;
}

bool ParseCalibration(Reader& r, const json& value, const std::string& where,
                      std::array<protocol::ChannelCalibration, OUTLETS>& records) {
  if (!r.Array(value, where)) return false;
  if (value.size() != OUTLETS) return r.Fail(where, "needs one record for each of the four outlets");
  for (std::size_t k = 0; k < OUTLETS; ++k) {
    const std::string at = Item(where, k);
    protocol::ChannelCalibration& c = records[k];
    if (!r.Object(value[k], at, {"lowDivisor", "lowMultiplier", "lowOffset", "threshold", "highDivisor",
                                 "highMultiplier", "highOffset"}) ||
        !r.Field(value[k], at, "lowDivisor", c.lowDivisor) || !r.Field(value[k], at, "lowMultiplier", c.lowMultiplier) ||
        !r.Field(value[k], at, "lowOffset", c.lowOffset) || !r.Field(value[k], at, "threshold", c.threshold) ||
        !r.Field(value[k], at, "highDivisor", c.highDivisor) ||
        !r.Field(value[k], at, "highMultiplier", c.highMultiplier) || !r.Field(value[k], at, "highOffset", c.highOffset))
      return false;
  }
  return true;
}

bool ParseMemory(Reader& r, const json& value, const std::string& where, std::vector<MemoryPatch>& patches) {
  if (!r.Array(value, where)) return false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const std::string at = Item(where, i);
    MemoryPatch patch;
    if (!r.Object(value[i], at, {"page", "offset", "bytes"})) return false;
    if (!value[i].contains("page") || !value[i].contains("bytes")) return r.Fail(at, "needs page and bytes");
    if (!r.Field(value[i], at, "page", patch.page) || !r.Field(value[i], at, "offset", patch.offset) ||
        !r.Bytes(value[i]["bytes"], Key(at, "bytes"), patch.bytes))
      return false;
    patches.push_back(std::move(patch));
  }
  return true;
}

// "VID:PID": one to four hex digits on each side.
bool IsUsbId(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto hexWord = [](std::string_view part) {
    return !part.empty() && part.size() <= 4 &&
           std::all_of(part.begin(), part.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
  };
  return hexWord(text.substr(0, colon)) && hexWord(text.substr(colon + 1));
}

bool ParseStrip(Reader& r, const json& value, const std::string& where, StripSpec& strip) {
  if (!r.Object(value, where, {"serial", "firmware", "interface", "path", "pathLength", "usbId", "present", "on", "volts",
                               "linePeriodCount", "temperatureCount", "pageSelector", "calibration", "memory",
                               "summaryIntervalMs", "waveformIntervalMs", "readingInFlight", "outlets", "faults"}))
    return false;
  if (!value.contains("serial")) return r.Fail(Key(where, "serial"), "missing");
  if (!r.Field(value, where, "serial", strip.serial) || !r.Word(value, where, "interface", CLASSES, strip.interfaceGuid) ||
      !r.Field(value, where, "path", strip.path) || !r.Field(value, where, "usbId", strip.usbId) ||
      !r.Field(value, where, "present", strip.present) || !r.Field(value, where, "on", strip.on) ||
      !r.Field(value, where, "volts", strip.volts) || !r.Field(value, where, "linePeriodCount", strip.linePeriodCount) ||
      !r.Field(value, where, "temperatureCount", strip.temperatureCount) ||
      !r.Field(value, where, "pageSelector", strip.pageSelector) ||
      !r.Field(value, where, "summaryIntervalMs", strip.summaryIntervalMs) ||
      !r.Field(value, where, "waveformIntervalMs", strip.waveformIntervalMs) ||
      !r.Field(value, where, "readingInFlight", strip.readingInFlight))
    return false;
  if (strip.serial > 0xFFFFFF) return r.Fail(Key(where, "serial"), "must fit in 24 bits");
  if (const auto it = value.find("pathLength"); it != value.end()) {
    std::uint64_t length = 0;
    if (!r.Unsigned(*it, Key(where, "pathLength"), MAX_PATH_LENGTH, length)) return false;
    strip.pathLength = static_cast<std::size_t>(length);
  }
  if (!strip.usbId.empty() && !IsUsbId(strip.usbId)) return r.Fail(Key(where, "usbId"), "must be VID:PID in hex");
  if (const auto it = value.find("firmware"); it != value.end()) {
    std::vector<std::uint8_t> bytes;
    if (!r.Bytes(*it, Key(where, "firmware"), bytes)) return false;
    if (bytes.size() != 2) return r.Fail(Key(where, "firmware"), "needs two bytes: level, version");
    strip.firmware = {bytes[0], bytes[1]};
  }
  if (const auto it = value.find("calibration"); it != value.end())
    if (!ParseCalibration(r, *it, Key(where, "calibration"), strip.factoryCalibration)) return false;
  if (const auto it = value.find("memory"); it != value.end())
    if (!ParseMemory(r, *it, Key(where, "memory"), strip.memory)) return false;
  if (const auto it = value.find("outlets"); it != value.end()) {
    if (!r.Array(*it, Key(where, "outlets"))) return false;
    if (it->size() > OUTLETS) return r.Fail(Key(where, "outlets"), "a strip has four outlets");
    for (std::size_t k = 0; k < it->size(); ++k)
      if (!ParseLoad(r, (*it)[k], Item(Key(where, "outlets"), k), strip.outlets[k])) return false;
  }
  if (const auto it = value.find("faults"); it != value.end())
    if (!ParseFaults(r, *it, Key(where, "faults"), strip.faults)) return false;
  return true;
}

// The first strip of each serial number, for events that name a strip by it.
using FirstStripOfSerial = std::unordered_map<std::uint32_t, std::size_t>;

bool ParseEvent(Reader& r, const json& value, const std::string& where, const FirstStripOfSerial& strips,
                TimelineEvent& event) {
  static const std::map<std::string, EventType, std::less<>> types = {
      {"plug", EventType::Plug}, {"unplug", EventType::Unplug}, {"stall", EventType::Stall},
      {"on", EventType::On},     {"off", EventType::Off},       {"load", EventType::Load}};
  if (!r.Object(value, where, {"atMs", "event", "strip", "serial", "durationMs", "outlet", "load"})) return false;
  if (!value.contains("atMs")) return r.Fail(Key(where, "atMs"), "missing");
  if (!value.contains("event")) return r.Fail(Key(where, "event"), "missing");
  if (value.contains("strip") == value.contains("serial")) return r.Fail(where, "give exactly one of strip and serial");
  if (!r.Field(value, where, "atMs", event.atMs) || !r.Word(value, where, "event", types, event.type) ||
      !r.Field(value, where, "strip", event.strip) || !r.Field(value, where, "durationMs", event.durationMs) ||
      !r.Field(value, where, "outlet", event.outlet))
    return false;
  if (value.contains("serial")) {
    std::uint32_t serial = 0;
    if (!r.Field(value, where, "serial", serial)) return false;
    const auto found = strips.find(serial);
    if (found == strips.end()) return r.Fail(Key(where, "serial"), "names no strip of the scenario");
    event.strip = found->second;
  }
  if (event.type == EventType::Load) {
    if (!value.contains("load")) return r.Fail(Key(where, "load"), "missing");
    return ParseLoad(r, value["load"], Key(where, "load"), event.load);
  }
  return !value.contains("load") || r.Fail(Key(where, "load"), "only a load event takes a load");
}

bool ParseDocument(Reader& r, const json& document, Scenario& scenario) {
  if (!r.Object(document, "scenario", {"strips", "enumerationErrors", "timeline"})) return false;
  const auto strips = document.find("strips");
  if (strips == document.end()) return r.Fail("strips", "missing");
  if (!r.Array(*strips, "strips")) return false;
  for (std::size_t i = 0; i < strips->size(); ++i) {
    StripSpec strip;
    if (!ParseStrip(r, (*strips)[i], Item("strips", i), strip)) return false;
    scenario.strips.push_back(std::move(strip));
  }
  if (const auto it = document.find("enumerationErrors"); it != document.end()) {
    if (!r.Array(*it, "enumerationErrors")) return false;
    for (std::size_t i = 0; i < it->size(); ++i) {
      const std::string at = Item("enumerationErrors", i);
      EnumerationError error;
      error.interfaceGuid = std::string(device::primaryInterfaceGuid);
      if (!r.Object((*it)[i], at, {"interface", "index"})) return false;
      if (!(*it)[i].contains("index")) return r.Fail(Key(at, "index"), "missing");
      if (!r.Word((*it)[i], at, "interface", CLASSES, error.interfaceGuid) || !r.Field((*it)[i], at, "index", error.index))
        return false;
      scenario.enumerationErrors.push_back(error);
    }
  }
  if (const auto it = document.find("timeline"); it != document.end()) {
    if (!r.Array(*it, "timeline")) return false;
    FirstStripOfSerial strips;
    for (std::size_t i = 0; i < scenario.strips.size(); ++i) strips.emplace(scenario.strips[i].serial, i);
    for (std::size_t i = 0; i < it->size(); ++i) {
      TimelineEvent event;
      if (!ParseEvent(r, (*it)[i], Item("timeline", i), strips, event)) return false;
      scenario.timeline.push_back(event);
    }
  }
  return true;
}

}  // namespace

std::optional<Scenario> ParseScenario(std::string_view text, std::string& error) {
  json document;
  if (!ParseScenarioJson(text, document, error)) return std::nullopt;
  Scenario scenario;
  Reader reader(error);
  if (!ParseDocument(reader, document, scenario)) return std::nullopt;
  if (!ValidateScenario(scenario, error)) return std::nullopt;
  return scenario;
}

}  // namespace kvx::sim
