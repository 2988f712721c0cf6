// The scenario reader: the whole input as the text of a scenario file, parsed,
// checked and, when accepted, taken by the simulated driver.
//
// Invariants:
//   - ParseScenario never throws and never crashes, whatever the text;
//   - a refusal comes with a message, an acceptance without one;
//   - an accepted scenario passes ValidateScenario again, has one interface
//     path per strip, none longer than the padding allows, no two equal
//     without regard to case, and every timeline event names a strip;
//   - the driver built from it lists exactly its present strips, in total
//     over the two interface classes.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "device/driver.h"
#include "device/sim/scenario.h"
#include "device/sim/sim_driver.h"
#include "fuzz_check.h"

namespace {

using namespace kvx;
using kvx::fuzz::Require;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::size_t Listed(sim::SimDriver& driver, std::string_view classGuid) {
  std::size_t count = 0;
  const auto set = driver.GetClassDevs(classGuid);
  if (!set) return 0;
  for (std::uint32_t index = 0;; ++index) {
    const device::EnumStatus status = set->EnumInterface(index);
    if (status == device::EnumStatus::NoMoreItems) break;
    if (status == device::EnumStatus::Ok) ++count;
  }
  return count;
}

void CheckAccepted(const sim::Scenario& scenario) {
  std::string error;
  Require(sim::ValidateScenario(scenario, error), "an accepted scenario validates again");
  const std::vector<std::string> paths = sim::ResolvedPaths(scenario);
  Require(paths.size() == scenario.strips.size(), "one path per strip");
  std::set<std::string> distinct;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const sim::StripSpec& strip = scenario.strips[i];
    Require(strip.pathLength <= sim::MAX_PATH_LENGTH, "padding bounded");
    if (strip.path.empty()) Require(paths[i].size() <= std::max<std::size_t>(strip.pathLength, 128), "padded path bounded");
    distinct.insert(Lower(paths[i]));
  }
  Require(distinct.size() == paths.size(), "no two paths equal without regard to case");
  for (const sim::TimelineEvent& event : scenario.timeline)
    Require(event.strip < scenario.strips.size(), "every event names a strip");
  // Small scenarios only: the driver starts a thread and keeps every strip.
  if (scenario.strips.size() > 64) return;
  // An event at 0 ms takes effect as the driver starts (a strip unplugged at
  // once is not listed): the count below holds for the others.
  for (const sim::TimelineEvent& event : scenario.timeline)
    if (event.atMs == 0) return;
  const std::size_t present = static_cast<std::size_t>(
      std::count_if(scenario.strips.begin(), scenario.strips.end(), [](const sim::StripSpec& s) { return s.present; }));
  sim::SimDriver driver(scenario, sim::SimOptions{.manualClock = true});
  const std::size_t listed = Listed(driver, device::primaryInterfaceGuid) + Listed(driver, device::fallbackInterfaceGuid);
  Require(listed == present, "the driver lists exactly the present strips");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto scenario = sim::ParseScenario(text, error);
  if (scenario) {
    Require(error.empty(), "no message on acceptance");
    CheckAccepted(*scenario);
  } else {
    Require(!error.empty(), "a refusal says why");
  }
  return 0;
}
