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
  std::string driverName = "sim";  // the backend (--driver=NAME)
  std::string logDirectory = ".";
  std::optional<std::uint32_t> durationMs;  // headless: stop after this long
  std::optional<metrics::ListenAddress> metrics;  // serve /metrics there; none: no endpoint
  // Options it does not know, in order: the backend's (the backend registry
  // takes those out) and the window's (e.g. --screenshot=FILE).
  std::vector<std::string> windowOptions;
};

// Reads the "--name" / "--name=value" options; false with `error` set for a
// malformed value. Options it does not know are left in windowOptions.
bool ParseProgramOptions(const std::vector<std::string>& options, ProgramOptions& out, std::string& error);

// The --help text, the backends' own options included.
std::string UsageText(const std::string& programName);
std::string VersionText();

}  // namespace kvx
