// The backend registry: which backend is built from which options, the
// options it leaves for the window, every mistake it refuses, and --help.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/program_options.h"
#include "device/backends/backend_registry.h"
#include "device/backends/tracing_driver.h"
#include "device/device_access.h"
#include "device/sim/sim_driver.h"
#include "support/scripted_driver.h"

namespace kvx {
namespace {

using device::Backend;
using device::BackendArgument;
using device::CreateDriver;

std::vector<std::int32_t> SerialsOf(device::Driver& driver) {
  device::DeviceAccess access(driver);
  access.RebuildDeviceList();
  std::vector<std::int32_t> serials;
  for (const device::DeviceEntry& entry : *access.List()) serials.push_back(entry.serialNumber);
  return serials;
}

class BackendRegistryTest : public ::testing::Test {
 protected:
  ~BackendRegistryTest() override { std::filesystem::remove_all(dir); }
  std::string Write(const std::string& name, const std::string& text) {
    std::filesystem::create_directories(dir);
    const std::string path = (dir / name).string();
    std::ofstream(path) << text;
    return path;
  }
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kvx_backend_registry_" + std::to_string(::getpid()));
  std::string error;
};

TEST_F(BackendRegistryTest, SimIsTheDefaultAndLeavesTheWindowsOptionsInOrder) {
  EXPECT_EQ(device::Backends().front().name, device::DEFAULT_BACKEND);
  std::vector<std::string> options = {"--screenshot=a.png", "--select=calc:1"};
  auto driver = CreateDriver("sim", options, error);
  ASSERT_NE(driver, nullptr) << error;
  EXPECT_NE(dynamic_cast<sim::SimDriver*>(driver.get()), nullptr);
  EXPECT_EQ(SerialsOf(*driver), (std::vector<std::int32_t>{0x1A2B3, 0x2C4D5}));  // the built-in strips
  EXPECT_EQ(options, (std::vector<std::string>{"--screenshot=a.png", "--select=calc:1"}));
}

TEST_F(BackendRegistryTest, SimTakesItsScenarioAndTrace) {
  const std::string scenario = Write("one.json", R"({"strips": [{"serial": "0x00345"}]})");
  const std::string trace = (dir / "trace.txt").string();
  std::vector<std::string> options = {"--wait=10", "--scenario=" + scenario, "--trace=" + trace};
  auto driver = CreateDriver("sim", options, error);
  ASSERT_NE(driver, nullptr) << error;
  EXPECT_EQ(SerialsOf(*driver), std::vector<std::int32_t>{0x345});
  EXPECT_EQ(options, std::vector<std::string>{"--wait=10"});
  driver.reset();  // flushes the trace
  std::ifstream in(trace);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("sn=00345 on=iface ctl=TRANSFER"), std::string::npos) << text.str();
}

// What the client sent and received, traced around the driver, is what the
// simulated strips traced themselves: the same lines but for the time and the
// sequence number. Over a discovery, a connection's requests and its reads.
TEST_F(BackendRegistryTest, TheClientsTraceEqualsTheSimulatorsOwn) {
  std::filesystem::create_directories(dir);
  const std::string own = (dir / "own.txt").string();
  const std::string client = (dir / "client.txt").string();
  auto sim = std::make_unique<sim::SimDriver>(sim::DefaultScenario());
  ASSERT_TRUE(sim->OpenTrace(own, error)) << error;
  {
    std::unique_ptr<device::Driver> traced = device::MakeTracingDriver(std::move(sim), client, error);
    ASSERT_NE(traced, nullptr) << error;
    device::DeviceAccess access(*traced);
    access.RebuildDeviceList();
    std::string path;
    ASSERT_TRUE(access.ProbeDevice(0x1A2B3, path));
    const device::Handle pipe = access.OpenPipe(0x1A2B3, protocol::PIPE_NAME);
    std::array<std::uint8_t, 8> reply{};
    access
        .Request(0x1A2B3,
                 protocol::BuildSetupPacket(protocol::REQUEST_TYPE_IN, protocol::REQ_FIRMWARE_VERSION, 0, 0,
                                            protocol::FIRMWARE_VERSION_LENGTH),
                 reply)
        .has_value();
    access
        .Request(0x1A2B3, protocol::BuildSetupPacket(protocol::REQUEST_TYPE_OUT, protocol::REQ_SELECT_QUANTITY,
                                                     protocol::QUANTITY_POWER, 0, 0))
        .has_value();
    access.SendSetEvent(pipe, 7);
    protocol::ReadingBytes reading{};
    for (int i = 0; i < 3; ++i) access.ReadReading(pipe, reading);
    access.SendStop(pipe);
    access.ClosePipe(pipe);
  }  // both traces flushed and closed
  const auto lines = [](const std::string& file, bool client) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
      line = line.substr(line.find(' ') + 1);                   // the time
      if (client) line = line.substr(0, line.rfind(" seq="));  // the sequence number
      out.push_back(line);
    }
    return out;
  };
  const std::vector<std::string> expected = lines(own, false);
  EXPECT_GE(expected.size(), 9u);  // 2 serial requests, a probe's, firmware, select, set-event, 3 reads, stop
  EXPECT_EQ(lines(client, true), expected);
}

TEST_F(BackendRegistryTest, EveryMistakeIsRefusedWithItsReasonAndTheOptionsUntouched) {
  const std::string badScenario = Write("bad.json", R"({"strips": [{"serial": "0x1", "colour": "red"}]})");
  const struct {
    std::string driver;
    std::vector<std::string> options;
    std::string reason;
  } cases[] = {
      {"nosuch", {}, "unknown driver 'nosuch' (known: sim, usb)"},
      {"usb", {}, "--driver=usb needs the strips' USB IDs: --usb-id=VID:PID (repeatable; lsusb shows them)"},
      {"usb", {"--usb-endpoint=0x81", "--unlock-code=1:2"}, "--driver=usb needs the strips' USB IDs"},
      {"usb", {"--usb-id=1209"}, "--usb-id=1209: expected VID:PID, two hexadecimal numbers of up to 4 digits"},
      {"usb", {"--usb-id=1:2", "--usb-id=12345:1"}, "--usb-id=12345:1: expected VID:PID"},
      {"usb", {"--usb-fallback-id=g:1"}, "--usb-fallback-id=g:1: expected VID:PID"},
      {"usb", {"--usb-id=1:2", "--usb-endpoint=0x01"}, "--usb-endpoint=0x01: expected the address of an IN endpoint"},
      {"usb", {"--usb-id=1:2", "--usb-endpoint=0x80"}, "--usb-endpoint=0x80: expected"},
      {"usb", {"--usb-id=1:2", "--unlock-code=4B56"}, "--unlock-code=4B56: expected WORD1:WORD2"},
      {"usb", {"--usb-id"}, "--usb-id needs a value: --usb-id=VID:PID"},
      {"sim", {"--usb-id=1:2"}, "--usb-id belongs to --driver=usb, not --driver=sim"},
      {"sim", {"--unlock-code=7"}, "--unlock-code belongs to --driver=usb"},
      {"sim", {"--scenario"}, "--scenario needs a value: --scenario=FILE"},
      {"sim", {"--trace="}, "--trace needs a value: --trace=FILE"},
      {"sim", {"--scenario=" + (dir / "missing.json").string()}, "cannot use scenario"},
      {"sim", {"--scenario=" + badScenario}, "colour"},
      {"sim", {"--trace=" + (dir / "no" / "such" / "dir" / "t.txt").string()}, "cannot write trace"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> options = c.options;
    error.clear();
    EXPECT_EQ(CreateDriver(c.driver, options, error), nullptr) << c.driver;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.driver << ": " << error;
    EXPECT_EQ(options, c.options);
    EXPECT_EQ(error.find("not built"), std::string::npos) << error;  // both backends are built in
  }
}

TEST_F(BackendRegistryTest, UsbIsBuiltFromItsIdsAndLeavesTheRestForTheWindow) {
  // No bus here (or an emulated one without these IDs): the driver starts
  // and lists no strip, which the client shows as waiting.
  std::vector<std::string> options = {"--usb-id=dead:beef", "--select=calc:1", "--usb-fallback-id=0xdead:0x0002",
                                      "--usb-endpoint=0x82", "--unlock-code=12ab:34CD"};
  auto driver = CreateDriver("usb", options, error);
  ASSERT_NE(driver, nullptr) << error;
  EXPECT_EQ(SerialsOf(*driver), std::vector<std::int32_t>{});
  EXPECT_EQ(options, std::vector<std::string>{"--select=calc:1"});
  // The fallback class alone is enough to look for strips.
  options = {"--usb-fallback-id=dead:beef"};
  EXPECT_NE(CreateDriver("usb", options, error), nullptr) << error;
}

TEST_F(BackendRegistryTest, ABackendNotBuiltInIsNamedAsSuchBeforeItsOptionsAreJudged) {
  const std::vector<Backend> backends = {
      {"a", "built", {}, [](auto&, auto&) { return std::make_unique<test::ScriptedDriver>(); }},
      {"b", "missing", {{"--bus", "N", "a bus"}}, {}},
  };
  std::vector<std::string> options = {"--bus=", "--nosuch"};
  EXPECT_EQ(CreateDriver(backends, "b", options, error), nullptr);
  EXPECT_EQ(error, "the b backend is not built in this version");
  EXPECT_EQ(options, (std::vector<std::string>{"--bus=", "--nosuch"}));
  const std::string help = device::BackendHelp(backends);
  EXPECT_NE(help.find("  b                  missing: not built in this version\n"), std::string::npos) << help;
  EXPECT_EQ(help.find("--bus"), std::string::npos) << help;  // nothing that cannot be used is offered
}

TEST_F(BackendRegistryTest, EachBackendGetsOnlyItsOwnArgumentsCheckedAgainstTheirDeclaration) {
  std::vector<BackendArgument> seen;
  const std::vector<Backend> backends = {
      {"a", "first", {{"--port", "N", "a port"}, {"--fast", "", "a flag"}},
       [&](const std::vector<BackendArgument>& arguments, std::string&) -> std::unique_ptr<device::Driver> {
         seen = arguments;
         return std::make_unique<test::ScriptedDriver>();
       }},
      {"b", "second", {{"--bus", "N", "a bus"}}, {}},
  };
  std::vector<std::string> options = {"--port=4", "--other", "--fast", "--port=5"};
  ASSERT_NE(CreateDriver(backends, "a", options, error), nullptr) << error;
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].name, "--port");
  EXPECT_EQ(seen[0].value, "4");
  EXPECT_EQ(seen[1].name, "--fast");
  EXPECT_EQ(seen[1].value, "");
  EXPECT_EQ(seen[2].value, "5");
  EXPECT_EQ(options, std::vector<std::string>{"--other"});

  // A flag given a value, and a value-taking option of a backend not chosen.
  options = {"--fast=yes"};
  EXPECT_EQ(CreateDriver(backends, "a", options, error), nullptr);
  EXPECT_EQ(error, "--fast takes no value");
  options = {"--bus=1"};
  EXPECT_EQ(CreateDriver(backends, "a", options, error), nullptr);
  EXPECT_EQ(error, "--bus belongs to --driver=b, not --driver=a (the b backend is not built in this version)");
  // A backend's own failure reaches the caller as it said it.
  const std::vector<Backend> failing = {
      {"f", "fails", {}, [](const std::vector<BackendArgument>&, std::string& why) -> std::unique_ptr<device::Driver> {
         why = "no bus here";
         return nullptr;
       }}};
  options = {"--screenshot=x"};
  EXPECT_EQ(CreateDriver(failing, "f", options, error), nullptr);
  EXPECT_EQ(error, "no bus here");
  EXPECT_EQ(options, std::vector<std::string>{"--screenshot=x"});
}

TEST_F(BackendRegistryTest, HelpNamesTheDriverOptionEveryBackendAndTheOptionsOfThoseBuiltIn) {
  const std::string help = UsageText("kvxclient");
  for (const char* line : {"  --driver=NAME      where the strips are reached (default: sim)\n",
                           "  sim                simulated strips",
                           "    --scenario=FILE  strips, loads, faults and timeline from a scenario file\n",
                           "  --trace=FILE       write every request to the strips and every reading received to FILE"
                           " (any backend)\n",
                           "  usb                real strips over USB",
                           "    --usb-id=VID:PID USB vendor and product ID of the strips (repeatable)\n",
                           "    --usb-fallback-id=VID:PID\n                     IDs of strips",
                           "    --usb-endpoint=ADDR\n", "    --unlock-code=W1:W2\n"}) {
    EXPECT_NE(help.find(line), std::string::npos) << line << "\n" << help;
  }
  EXPECT_EQ(help.find("not built"), std::string::npos) << help;
  const std::vector<Backend> wide = {
      {"w", "wide", {{"--a-rather-long-option", "VALUE", "explained"}}, [](auto&, auto&) { return nullptr; }}};
  EXPECT_EQ(device::BackendHelp(wide),
            "Backend (each takes only its own options):\n"
            "  --driver=NAME      where the strips are reached (default: w)\n"
            "  --trace=FILE       write every request to the strips and every reading received to FILE"
            " (any backend)\n"
            "  w                  wide\n"
            "    --a-rather-long-option=VALUE\n"
            "                     explained\n");
}

}  // namespace
}  // namespace kvx
