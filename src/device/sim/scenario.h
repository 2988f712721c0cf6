// What the simulated driver simulates: strips with their identity, line
// quantities, memory, outlet loads and faults, the enumeration faults of the
// driver, and a timeline of events. Plain data; built in code, read from a
// JSON scenario file (docs/simulator.md) or taken from DefaultScenario().
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/protocol.h"

namespace kvx::sim {

// ---- Outlet loads.
enum class LoadType {
  Empty,       // nothing plugged in
  Heater,      // resistive: a sine in phase with the voltage
  Smps,        // switched-mode supply: current pulses near the voltage peaks
  Compressor,  // inductive motor: a lagging sine, switched on and off in cycles
};

enum class RatingUnit {
  Watts,      // active power while running, at the strip's supply voltage
  Milliamps,  // RMS current while running
};

struct LoadSpec {
  LoadType type = LoadType::Empty;
  RatingUnit unit = RatingUnit::Watts;
  double rating = 0.0;
  // Heater: 0. Compressor: lag of the current behind the voltage (0..85).
  // Smps: lag (+) or lead (-) of the pulse centre against the voltage peak (-60..60).
  double phaseDeg = 0.0;
  double pulseWidthDeg = 60.0;     // Smps: width of each current pulse (50..170)
  std::int64_t cycleMs = 0;        // Compressor: on/off period; 0 = always running
  double duty = 1.0;               // Compressor: running share of each cycle (0..1)
  std::int64_t cycleOffsetMs = 0;  // Compressor: a cycle starts (running) at this time

  static LoadSpec Empty();
  static LoadSpec Heater(double watts);
  static LoadSpec Smps(double watts, double pulseWidthDeg = 60.0, double phaseDeg = -10.0);
  static LoadSpec Compressor(double watts, double phaseDeg, std::int64_t cycleMs, double duty);
};

// ---- Faults of one strip.
enum class ReplyFaultMode {
  Fail,   // the control call fails (the strip stalls the request)
  Short,  // the call succeeds with only `bytes` reply bytes
  Slow,   // the strip answers normally, but only `delayMs` after the request
  Hang,   // the strip never answers: the call ends at its time-out (or the strip's removal)
};

enum class HandleScope { Any, Pipe, Interface };

struct ReplyFault {
  std::uint8_t bRequest = 0;
  ReplyFaultMode mode = ReplyFaultMode::Fail;
  std::uint32_t bytes = 0;   // Short: reply bytes delivered
  std::uint32_t calls = 0;   // number of matching calls affected; 0 = all of them
  HandleScope on = HandleScope::Any;
  std::uint32_t delayMs = 0;  // Slow: how long the answer takes
};

enum class DivisorFault { Low, High, Both };

struct ZeroDivisor {
  int outlet = 1;  // 1..4
  DivisorFault which = DivisorFault::Both;
};

struct StripFaults {
  bool silentEnumerationSerial = false;  // no reply to REQ_SERIAL_NUMBER on the interface path
  std::vector<ReplyFault> replies;
  std::vector<int> flaggedRecords;       // outlets (1..4) whose working record carries the flag
  std::vector<ZeroDivisor> zeroDivisors; // outlets whose working record has a divisor word of 0
  std::uint32_t corruptPacketEvery = 0;  // every Nth waveform packet gets corruptPacketIndex; 0 = none
  std::uint8_t corruptPacketIndex = 33;
};

// Bytes written into the strip's memory over the defaults.
struct MemoryPatch {
  std::uint16_t page = 0;
  std::uint16_t offset = 0;
  std::vector<std::uint8_t> bytes;
};

inline constexpr std::size_t OUTLETS = 4;

struct StripSpec {
  std::uint32_t serial = 0;  // 24-bit
  std::array<std::uint8_t, 2> firmware{0x10, 0x20};  // reply bytes: level, version (major.minor nibbles)
  std::string interfaceGuid;  // primary or fallback class; empty = primary
  std::string path;           // interface path; empty = DefaultDevicePath
  std::size_t pathLength = 0; // pads a default path to this many characters (long-path fault)
  // "VID:PID" (hex) the strip shows on an emulated USB bus; empty = the test
  // IDs of its interface class. The simulated driver itself ignores it.
  std::string usbId;
  bool present = true;        // plugged in when the driver starts
  bool on = true;             // switched on (the outlets draw current)
  std::uint8_t volts = 100;
  std::uint16_t linePeriodCount = 40000;   // 50 Hz
  std::uint16_t temperatureCount = 2534;   // 25.34 degC
  std::uint8_t pageSelector = 1;           // byte 3 at page 0x0080, offset 0x0078
  std::array<protocol::ChannelCalibration, OUTLETS> factoryCalibration;
  std::vector<MemoryPatch> memory;
  std::uint32_t summaryIntervalMs = 250;   // 0 = unpaced
  std::uint32_t waveformIntervalMs = 8;    // per packet; 0 = unpaced
  // A change of outlet or quantity still lets the reading the strip had
  // already prepared go out first, in the old selection's form.
  bool readingInFlight = true;
  std::array<LoadSpec, OUTLETS> outlets;
  StripFaults faults;

  StripSpec();
};

// EnumStatus::Error at `index` of a class's snapshot; the interfaces at and
// after it move one index up, so no strip is lost.
struct EnumerationError {
  std::string interfaceGuid;
  std::uint32_t index = 0;
};

enum class EventType { Plug, Unplug, Stall, On, Off, Load };

// Latest time and longest duration a timeline may name (about 31 years): keeps
// the driver's microsecond arithmetic far from overflow.
inline constexpr std::int64_t MAX_SCENARIO_TIME_MS = 1'000'000'000'000;

// Longest interface path a strip may be padded to with "pathLength" (the
// longest path the platform's device interfaces allow).
inline constexpr std::size_t MAX_PATH_LENGTH = 32767;

// Largest scenario file that is read (8,000 strips of a full description fit).
inline constexpr std::uint64_t MAX_SCENARIO_FILE_BYTES = 4 * 1024 * 1024;

struct TimelineEvent {
  std::int64_t atMs = 0;       // since the driver started
  EventType type = EventType::Plug;
  std::size_t strip = 0;       // index into Scenario::strips
  std::int64_t durationMs = 0; // Stall
  int outlet = 1;              // Load
  LoadSpec load;               // Load
};

struct Scenario {
  std::vector<StripSpec> strips;
  std::vector<EnumerationError> enumerationErrors;
  std::vector<TimelineEvent> timeline;
};

// Factory records of the four outlets of every strip unless a scenario says otherwise.
std::array<protocol::ChannelCalibration, OUTLETS> DefaultFactoryCalibration();

// "\\?\usb#vid_fff0&pid_0001#<serial>[&k]#{class guid}" with the serial in
// lower-case hex, "&k" for the k-th (k >= 1) further strip of the same serial,
// padded inside the instance part up to `length` characters.
std::string DefaultDevicePath(std::uint32_t serial, std::string_view classGuid, int duplicate = 0,
                              std::size_t length = 0);

// The interface path of each strip as the driver will publish it.
std::vector<std::string> ResolvedPaths(const Scenario& scenario);

// Two strips with a realistic mix of loads (heater, switched-mode supply,
// compressor, empty outlet): serials 0x1A2B3 and 0x2C4D5.
Scenario DefaultScenario();

// Checks ranges and references that the types cannot express.
bool ValidateScenario(const Scenario& scenario, std::string& error);

// JSON scenario (format in docs/simulator.md). On failure: nullopt and a
// message naming the offending key; no exception escapes. A file must be a
// regular file of at most MAX_SCENARIO_FILE_BYTES (a FIFO, device or
// directory is refused without waiting on it).
std::optional<Scenario> ParseScenario(std::string_view text, std::string& error);
std::optional<Scenario> LoadScenarioFile(const std::string& path, std::string& error);

}  // namespace kvx::sim
