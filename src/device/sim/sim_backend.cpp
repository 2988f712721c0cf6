#include "device/sim/sim_backend.h"

#include "device/sim/sim_driver.h"

namespace kvx::sim {

namespace {

constexpr std::string_view kScenario = "--scenario";

std::unique_ptr<device::Driver> CreateSimDriver(const std::vector<device::BackendArgument>& arguments,
                                                std::string& error) {
  std::string scenarioFile;
  for (const device::BackendArgument& argument : arguments) {
    if (argument.name == kScenario) scenarioFile = argument.value;
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
  return std::make_unique<SimDriver>(std::move(scenario));
}

}  // namespace

device::Backend SimBackend() {
  return device::Backend{
      "sim",
      "simulated strips (the built-in default: two strips)",
      {
          {kScenario, "FILE", "strips, loads, faults and timeline from a scenario file"},
      },
      CreateSimDriver,
  };
}

}  // namespace kvx::sim
