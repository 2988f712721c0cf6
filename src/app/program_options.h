// The program's own options (the "--" arguments), read before the five
// start-up values: which backend, where the logs go, headless or window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "metrics/address.h"

namespace kvx {

struct ProgramOptions {
  bool headless = false;
  bool help = false;
  bool version = false;
  std::string scenarioFile;  // empty: the built-in two simulated strips
  std::string traceFile;     // empty: no request trace
  std::string logDirectory = ".";
  std::optional<std::uint32_t> durationMs;  // headless: stop after this long
  std::optional<metrics::ListenAddress> metrics;  // serve /metrics there; none: no endpoint
  std::vector<std::string> windowOptions;   // left for the window (e.g. --screenshot=FILE)
};

// Reads the "--name" / "--name=value" options; false with `error` set for a
// malformed value. Options it does not know are left in windowOptions.
bool ParseProgramOptions(const std::vector<std::string>& options, ProgramOptions& out, std::string& error);

std::string UsageText(const std::string& programName);
std::string VersionText();

}  // namespace kvx
