// Reading and checking a scenario with many strips: prints the time of
// ParseScenario (JSON, keys, ranges, paths, timeline) for a growing number of
// strips, each fully described, with one event per strip named by serial.
// Linear reading shows as a time per strip that stays about the same. The
// floor is the JSON parse of the same text alone (no checks): reading and
// checking 16,000 strips may take at most twice as long.
#include <algorithm>
#include <chrono>
#include <optional>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "device/sim/scenario.h"
#include "verdict.h"

namespace {

std::string ScenarioText(int strips) {
  std::string text = R"({"strips": [)";
  for (int i = 0; i < strips; ++i) {
    text += (i ? "," : "");
    text += R"({"serial": )" + std::to_string(i + 1) +
            R"(, "volts": 100, "summaryIntervalMs": 50, "outlets": [{"type": "heater", "watts": 1200},)"
            R"( {"type": "smps", "watts": 150}, {"type": "compressor", "watts": 700, "phaseDeg": 35}, {"type": "empty"}]})";
  }
  text += R"(], "timeline": [)";
  for (int i = 0; i < strips; ++i)
    text += std::string(i ? "," : "") + R"({"atMs": )" + std::to_string(1000 + i) +
            R"(, "event": "unplug", "serial": )" + std::to_string(strips - i) + "}";
  return text + "]}";
}

}  // namespace

double Millis(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int main() {
  std::printf("%8s %10s %12s %14s %12s\n", "strips", "bytes", "parse ms", "us per strip", "json ms");
  double figure = 0.0, floor = 0.0;
  for (const int strips : {1000, 2000, 4000, 8000, 16000}) {
    const std::string text = ScenarioText(strips);
    std::string error;
    // The floor first, then the figure: each the best of three, so that
    // neither pays alone for the memory the first parse takes from the system.
    double jsonMs = 1e300, ms = 1e300;
    bool parsed = true;
    std::optional<kvx::sim::Scenario> scenario;
    for (int round = 0; round < 3; ++round) {
      auto start = std::chrono::steady_clock::now();
      parsed = parsed && !nlohmann::json::parse(text, nullptr, false).is_discarded();
      jsonMs = std::min(jsonMs, Millis(start));
      start = std::chrono::steady_clock::now();
      scenario = kvx::sim::ParseScenario(text, error);
      ms = std::min(ms, Millis(start));
    }
    if (!scenario || !parsed) {
      std::printf("refused: %s\n", error.c_str());
      return 1;
    }
    std::printf("%8d %10zu %12.1f %14.1f %12.1f\n", strips, text.size(), ms, 1000.0 * ms / strips, jsonMs);
    figure = ms;
    floor = jsonMs;
  }
  return kvx::bench::Verdict("scenario_read_16000_strips", figure, floor, "ms") ? 0 : 1;
}
