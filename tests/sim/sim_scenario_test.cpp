// Scenario files: the default scenario, every key of the format, and clear
// messages for every kind of mistake.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

#include "device/driver.h"
#include "device/sim/scenario.h"

namespace kvx::sim {
namespace {

TEST(SimScenario, DefaultHasTwoStripsWithAMixOfLoads) {
  const Scenario scenario = DefaultScenario();
  ASSERT_EQ(scenario.strips.size(), 2u);
  EXPECT_EQ(scenario.strips[0].serial, 0x1A2B3u);
  EXPECT_EQ(scenario.strips[1].serial, 0x2C4D5u);
  for (const StripSpec& strip : scenario.strips) {
    std::set<LoadType> types;
    for (const LoadSpec& load : strip.outlets) types.insert(load.type);
    EXPECT_EQ(types.size(), 4u);  // heater, SMPS, compressor and an empty outlet
    EXPECT_GT(strip.summaryIntervalMs, 0u);
    EXPECT_GT(strip.waveformIntervalMs, 0u);
  }
  std::string error;
  EXPECT_TRUE(ValidateScenario(scenario, error)) << error;
}

TEST(SimScenario, DefaultPathsLookLikeInterfacePaths) {
  EXPECT_EQ(DefaultDevicePath(0x2C4D5, device::fallbackInterfaceGuid),
            "\\\\?\\usb#vid_fff0&pid_0001#2c4d5#{4d085663-0821-4bda-a77a-783b1fed19bf}");
  EXPECT_EQ(DefaultDevicePath(0xABC, device::primaryInterfaceGuid, 2).substr(26, 8), "00abc&2#");
  EXPECT_EQ(DefaultDevicePath(0xABC, device::primaryInterfaceGuid, 0, 400).size(), 400u);
}

constexpr char FULL[] = R"({
  "strips": [
    {
      "serial": "0x1A2B3", "firmware": [16, "0x21"], "interface": "fallback",
      "present": false, "on": false, "volts": 117, "linePeriodCount": 33333, "temperatureCount": "3012",
      "pageSelector": 0, "summaryIntervalMs": 100, "waveformIntervalMs": 0,
      "calibration": [{"lowDivisor": 1000, "lowMultiplier": 1400}, {}, {}, {"threshold": 9000}],
      "memory": [{"page": "0x7D80", "offset": 200, "bytes": "01 02 0a"}, {"page": 5, "bytes": [7, 8]}],
      "outlets": [
        {"type": "heater", "watts": 800},
        {"type": "smps", "milliamps": 900, "pulseWidthDeg": 70, "phaseDeg": -5},
        {"type": "compressor", "watts": 300, "phaseDeg": 40, "cycleMs": 30000, "duty": 0.25, "cycleOffsetMs": -1000},
        {"type": "empty"}
      ],
      "faults": {
        "silentEnumerationSerial": true,
        "replies": [{"request": "REQ_VOLTAGE", "mode": "short", "bytes": 0, "calls": 3, "on": "pipe"},
                    {"request": "0xA2", "mode": "fail"},
                    {"request": "REQ_TEMPERATURE", "mode": "slow", "delayMs": 250},
                    {"request": "REQ_FIRMWARE_VERSION", "mode": "hang", "calls": 1}],
        "flaggedRecords": [2, 4],
        "zeroDivisors": [{"outlet": 1, "which": "high"}, {"outlet": 3}],
        "corruptPacketEvery": 7, "corruptPacketIndex": 0
      }
    },
    {"serial": 74565, "path": "\\\\?\\custom#path", "outlets": [{"type": "compressor", "milliamps": 2000}]},
    {"serial": 74565, "pathLength": 300, "usbId": "abcd:12"}
  ],
  "enumerationErrors": [{"interface": "primary", "index": 1}, {"interface": "fallback", "index": 0}],
  "timeline": [
    {"atMs": 1000, "event": "plug", "strip": 0},
    {"atMs": 2000, "event": "stall", "serial": "0x12345", "durationMs": 500},
    {"atMs": 3000, "event": "load", "strip": 1, "outlet": 4, "load": {"type": "smps", "watts": 45}},
    {"atMs": 4000, "event": "off", "strip": 0}, {"atMs": 5000, "event": "on", "strip": 0},
    {"atMs": 6000, "event": "unplug", "strip": 2}
  ]
})";

TEST(SimScenario, ParsesEveryKey) {
  std::string error;
  const auto scenario = ParseScenario(FULL, error);
  ASSERT_TRUE(scenario) << error;
  ASSERT_EQ(scenario->strips.size(), 3u);
  const StripSpec& a = scenario->strips[0];
  EXPECT_EQ(a.serial, 0x1A2B3u);
  EXPECT_EQ(a.firmware, (std::array<std::uint8_t, 2>{0x10, 0x21}));
  EXPECT_EQ(a.interfaceGuid, device::fallbackInterfaceGuid);
  EXPECT_FALSE(a.present);
  EXPECT_FALSE(a.on);
  EXPECT_EQ(a.volts, 117);
  EXPECT_EQ(a.linePeriodCount, 33333);
  EXPECT_EQ(a.temperatureCount, 3012);
  EXPECT_EQ(a.pageSelector, 0);
  EXPECT_EQ(a.summaryIntervalMs, 100u);
  EXPECT_EQ(a.waveformIntervalMs, 0u);
  EXPECT_EQ(a.factoryCalibration[0].lowDivisor, 1000);
  EXPECT_EQ(a.factoryCalibration[0].lowMultiplier, 1400);
  EXPECT_EQ(a.factoryCalibration[0].threshold, DefaultFactoryCalibration()[0].threshold);  // rest as default
  EXPECT_EQ(a.factoryCalibration[3].threshold, 9000);
  ASSERT_EQ(a.memory.size(), 2u);
  EXPECT_EQ(a.memory[0].page, 0x7D80);
  EXPECT_EQ(a.memory[0].offset, 200);
  EXPECT_EQ(a.memory[0].bytes, (std::vector<std::uint8_t>{1, 2, 10}));
  EXPECT_EQ(a.memory[1].bytes, (std::vector<std::uint8_t>{7, 8}));
  EXPECT_EQ(a.outlets[0].type, LoadType::Heater);
  EXPECT_EQ(a.outlets[0].rating, 800.0);
  EXPECT_EQ(a.outlets[1].unit, RatingUnit::Milliamps);
  EXPECT_EQ(a.outlets[1].pulseWidthDeg, 70.0);
  EXPECT_EQ(a.outlets[1].phaseDeg, -5.0);
  EXPECT_EQ(a.outlets[2].cycleMs, 30000);
  EXPECT_EQ(a.outlets[2].duty, 0.25);
  EXPECT_EQ(a.outlets[2].cycleOffsetMs, -1000);
  EXPECT_EQ(a.outlets[3].type, LoadType::Empty);
  const StripFaults& f = a.faults;
  EXPECT_TRUE(f.silentEnumerationSerial);
  ASSERT_EQ(f.replies.size(), 4u);
  EXPECT_EQ(f.replies[0].bRequest, 0xB0);
  EXPECT_EQ(f.replies[0].mode, ReplyFaultMode::Short);
  EXPECT_EQ(f.replies[0].calls, 3u);
  EXPECT_EQ(f.replies[0].on, HandleScope::Pipe);
  EXPECT_EQ(f.replies[1].bRequest, 0xA2);
  EXPECT_EQ(f.replies[1].mode, ReplyFaultMode::Fail);
  EXPECT_EQ(f.replies[2].mode, ReplyFaultMode::Slow);
  EXPECT_EQ(f.replies[2].delayMs, 250u);
  EXPECT_EQ(f.replies[3].bRequest, protocol::REQ_FIRMWARE_VERSION);
  EXPECT_EQ(f.replies[3].mode, ReplyFaultMode::Hang);
  EXPECT_EQ(f.replies[3].calls, 1u);
  EXPECT_EQ(f.flaggedRecords, (std::vector<int>{2, 4}));
  ASSERT_EQ(f.zeroDivisors.size(), 2u);
  EXPECT_EQ(f.zeroDivisors[0].which, DivisorFault::High);
  EXPECT_EQ(f.zeroDivisors[1].which, DivisorFault::Both);
  EXPECT_EQ(f.corruptPacketEvery, 7u);
  EXPECT_EQ(f.corruptPacketIndex, 0);
  EXPECT_EQ(scenario->strips[1].path, "\\\\?\\custom#path");
  EXPECT_EQ(scenario->strips[1].outlets[0].phaseDeg, 35.0);  // compressor defaults
  EXPECT_EQ(scenario->strips[1].outlets[0].cycleMs, 60000);
  EXPECT_EQ(scenario->strips[2].pathLength, 300u);
  EXPECT_EQ(scenario->strips[2].usbId, "abcd:12");
  ASSERT_EQ(scenario->enumerationErrors.size(), 2u);
  EXPECT_EQ(scenario->enumerationErrors[1].interfaceGuid, device::fallbackInterfaceGuid);
  ASSERT_EQ(scenario->timeline.size(), 6u);
  EXPECT_EQ(scenario->timeline[1].strip, 1u);  // the first strip with serial 0x12345
  EXPECT_EQ(scenario->timeline[1].durationMs, 500);
  EXPECT_EQ(scenario->timeline[2].load.type, LoadType::Smps);
  EXPECT_EQ(scenario->timeline[2].outlet, 4);
}

std::string ErrorOf(const std::string& text) {
  std::string error;
  EXPECT_FALSE(ParseScenario(text, error).has_value()) << text;
  return error;
}

TEST(SimScenario, ErrorsNameTheOffendingKey) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"strips": [{"serial": 1, "outlets": [{"type": "heater", "wats": 5}]}]})", "strips[0].outlets[0].wats: unknown key"},
      {R"({"strips": [{"serial": "0xZZ"}]})", "strips[0].serial: expected an unsigned integer"},
      {R"({"strips": [{"serial": 16777216}]})", "strips[0].serial: must fit in 24 bits"},
      {R"({"strips": [{"volts": 100}]})", "strips[0].serial: missing"},
      {R"({"strips": [{"serial": 1, "volts": 300}]})", "strips[0].volts: must be at most 255"},
      {R"({"strips": [{"serial": 1, "on": "yes"}]})", "strips[0].on: expected true or false"},
      {R"({"strips": [{"serial": 1, "interface": "third"}]})", "strips[0].interface: unknown value 'third'"},
      {R"({"strips": [{"serial": 1, "usbId": "1209"}]})", "strips[0].usbId: must be VID:PID in hex"},
      {R"({"strips": [{"serial": 1, "usbId": "12g9:0001"}]})", "strips[0].usbId: must be VID:PID in hex"},
      {R"({"strips": [{"serial": 1, "usbId": "12090:1"}]})", "strips[0].usbId: must be VID:PID in hex"},
      {R"({"strips": [{"serial": 1, "outlets": [{"type": "heater", "watts": 5, "milliamps": 3}]}]})",
       "strips[0].outlets[0]: give exactly one of watts and milliamps"},
      {R"({"strips": [{"serial": 1, "outlets": [{"type": "heater", "watts": -5}]}]})", "strips[0].outlets[0].watts: must not be negative"},
      {R"({"strips": [{"serial": 1, "outlets": [{"type": "fridge"}]}]})", "strips[0].outlets[0].type: unknown value 'fridge'"},
      {R"({"strips": [{"serial": 1, "outlets": [{"type": "heater", "watts": 5, "duty": 1}]}]})", "strips[0].outlets[0].duty: unknown key"},
      {R"({"strips": [{"serial": 1, "outlets": [{"type": "smps", "watts": 5, "pulseWidthDeg": 20}]}]})",
       "strips[0].outlets[0].pulseWidthDeg: must be between 50 and 170"},
      {R"({"strips": [{"serial": 1, "outlets": [{"type": "compressor", "watts": 5, "duty": 1.5}]}]})",
       "strips[0].outlets[0].duty: must be between 0 and 1"},
      {R"({"strips": [{"serial": 1, "outlets": [{}, {}, {}, {}, {}]}]})", "strips[0].outlets: a strip has four outlets"},
      {R"({"strips": [{"serial": 1, "faults": {"flaggedRecords": [5]}}]})", "strips[0].faults.flaggedRecords: outlets are 1 to 4"},
      {R"({"strips": [{"serial": 1, "faults": {"replies": [{"mode": "fail"}]}}]})", "strips[0].faults.replies[0].request: missing"},
      {R"({"strips": [{"serial": 1, "memory": [{"page": 1, "bytes": "0g"}]}]})", "strips[0].memory[0].bytes: invalid hex text"},
      {R"({"strips": [{"serial": 1, "memory": [{"page": 1, "offset": 255, "bytes": "0102"}]}]})",
       "strips[0].memory: bytes run past the end of the 256-byte page"},
      {R"({"strips": [{"serial": 1, "calibration": [{}]}]})", "strips[0].calibration: needs one record for each of the four outlets"},
      {R"({"strips": [{"serial": 1}, {"serial": 1, "path": "\\\\?\\usb#vid_fff0&pid_0001#00001#{dd4154a4-4a8c-46a2-ae0e-596d26819a1d}"}]})",
       "strips[1].path: same path as strips[0]"},
      {R"({"strips": [{"serial": 1}], "timeline": [{"atMs": 5, "event": "unplug", "strip": 3}]})", "timeline[0].strip: names no strip of the scenario"},
      {R"({"strips": [{"serial": 1}], "timeline": [{"atMs": 5, "event": "unplug", "serial": 2}]})", "timeline[0].serial: names no strip of the scenario"},
      {R"({"strips": [{"serial": 1}], "timeline": [{"atMs": 5, "event": "stall", "strip": 0}]})", "timeline[0].durationMs: a stall needs a positive duration of at most 1000000000000"},
      {R"({"strips": [{"serial": 1}], "timeline": [{"atMs": 5, "event": "load", "strip": 0, "outlet": 2}]})", "timeline[0].load: missing"},
      {R"({"strips": [{"serial": 1}], "timeline": [{"atMs": 9000000000000000000, "event": "on", "strip": 0}]})",
       "timeline[0].atMs: must be between 0 and 1000000000000"},
      {R"({"strips": [{"serial": 1}], "timeline": [{"atMs": -1, "event": "on", "strip": 0}]})",
       "timeline[0].atMs: must be between 0 and 1000000000000"},
      {R"({"strips": [{"serial": 1}], "timeline": [{"event": "on", "strip": 0}]})", "timeline[0].atMs: missing"},
      {R"({"strips": [{"serial": 1}], "timeline": [{"atMs": 1, "event": "on"}]})", "timeline[0]: give exactly one of strip and serial"},
      {R"({"strips": {}})", "strips: expected an array"},
      {R"({"strip": []})", "scenario.strip: unknown key"},
      {R"({})", "strips: missing"},
      {R"([1, 2])", "scenario: expected an object"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(ErrorOf(text), message);
}

TEST(SimScenario, SyntaxErrorsAreReportedNotThrown) {
  const std::string error = ErrorOf(R"({"strips": [ {"serial": 1,, } ]})");
  EXPECT_EQ(error.rfind("scenario is not valid JSON: ", 0), 0u) << error;
  EXPECT_NE(ErrorOf("").find("not valid JSON"), std::string::npos);
  EXPECT_NE(ErrorOf(std::string("{\"strips\": [\xff]}")).find("not valid JSON"), std::string::npos);
}

TEST(SimScenario, LoadsAFileAndNamesItInErrors) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kvx_sim_scenario_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string good = (dir / "good.json").string();
  const std::string bad = (dir / "bad.json").string();
  std::ofstream(good) << FULL;
  std::ofstream(bad) << R"({"strips": [{"serial": true}]})";
  std::string error;
  const auto loaded = LoadScenarioFile(good, error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(loaded->strips.size(), 3u);
  EXPECT_FALSE(LoadScenarioFile(bad, error));
  EXPECT_EQ(error, bad + ": strips[0].serial: expected an unsigned integer");
  EXPECT_FALSE(LoadScenarioFile((dir / "missing.json").string(), error));
  EXPECT_NE(error.find("cannot read scenario file"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(SimScenario, ShippedExampleParses) {
  std::string error;
  const auto scenario = LoadScenarioFile(std::string(KVX_SOURCE_DIR) + "/docs/simulator-example.json", error);
  ASSERT_TRUE(scenario) << error;
  EXPECT_FALSE(scenario->timeline.empty());
}

}  // namespace
}  // namespace kvx::sim
