#include "device/sim/sim_backend.h"

#include "device/sim/sim_driver.h"

namespace kvx::sim {

namespace {

constexpr std::string_view kScenario = "--scenario";
constexpr std::string_view kTrace = "--trace";

std::unique_ptr<device::Driver> CreateSimDriver(const std::vector<device::BackendArgument>& arguments,
                                                std::string& error) {
  std::string scenarioFile;
  std::string traceFile;
  // As with every option, the last of a repeated one counts.
  for (const device::BackendArgument& argument : arguments) {
    if (argument.name == kScenario) scenarioFile = argument.value;
    if (argument.name == kTrace) traceFile = argument.value;
  }
  Scenario scenario = DefaultScenario();
  if (!scenarioFile.empty()) {
    std::string why;
    auto loaded = LoadScenarioFile(scenarioFile, why);
    if (!loaded) {
      error = "cannot use scenario " + scenarioFile + ": " + why;
      return nullptr;
    }
    scenario = std::move(*loaded);
  }
  auto driver = std::make_unique<SimDriver>(std::move(scenario));
  std::string why;
  if (!traceFile.empty() && !driver->OpenTrace(traceFile, why)) {
    error = "cannot write trace " + traceFile + ": " + why;
    return nullptr;
  }
  return driver;
}

}  // namespace

device::Backend SimBackend() {
  return device::Backend{
      "sim",
      "simulated strips (the built-in default: two strips)",
      {
          {kScenario, "FILE", "strips, loads, faults and timeline from a scenario file"},
          {kTrace, "FILE", "write every request the simulated driver handles to FILE"},
      },
      CreateSimDriver,
  };
}

}  // namespace kvx::sim
