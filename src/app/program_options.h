// The program's own options (the "--" arguments), read before the five
// start-up values: which backend, where the logs go, headless or window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/outlet_names.h"
#include "metrics/address.h"
#include "publish/publishers.h"

namespace kvx {

struct ProgramOptions {
  bool headless = false;
  bool help = false;
  bool version = false;
  bool list = false;
  std::vector<std::string> given;  // every option as given, for the journal  // --list: print the strips found and exit
  std::string driverName = "sim";  // the backend (--driver=NAME)
  std::string logDirectory = ".";
  std::optional<std::uint32_t> durationMs;  // headless: stop after this long
  std::optional<metrics::ListenAddress> metrics;  // serve /metrics there; none: no endpoint
  std::string metricsWebConfig;  // --metrics-web-config=FILE: TLS and users of the endpoint
  OutletNames outletNames;       // --outlet-names=NAME1,NAME2,NAME3,NAME4
  publish::PublishOptions publish;  // --nut-file=FILE
  // --energy-report[=hour|day|month]: print the energy ledgers' report and exit.
  std::optional<std::string> energyReport;
  // --render=FILE.png|FILE.svg: draw the log directory's history and exit.
  std::optional<std::string> render;
  int renderWidth = 1200, renderHeight = 600;  // --size=WxH
  // The report's and the picture's choice of strip and stretch of time.
  std::optional<std::uint32_t> reportSerial;             // --serial=HEX
  std::optional<std::int64_t> reportFrom;                // --from=DATE or TIME, Unix seconds
  std::optional<std::int64_t> reportTo;                  // --to=DATE (inclusive, its end) or TIME
  std::optional<double> reportPrice;                     // --price=AMOUNT per kWh
  bool reportCsv = false;                                // --format=csv
  // Options it does not know, in order: the backend's (the backend registry
  // takes those out) and the window's (e.g. --screenshot=FILE).
  std::vector<std::string> windowOptions;
};

// Reads the "--name" / "--name=value" options; false with `error` set for a
// malformed value. Options it does not know are left in windowOptions.
// An option given twice is refused, except those that say they repeat
// (--usb-id, --usb-fallback-id).
bool ParseProgramOptions(const std::vector<std::string>& options, ProgramOptions& out, std::string& error);

// Whether the option `name` ("--log-dir") takes a value, so that "--log-dir
// DIR" can be read as "--log-dir=DIR": the program's, the window's and every
// backend's options that do.
bool OptionTakesValue(std::string_view name);

// An option given that only headless mode uses ("--duration"), when the
// window runs; empty when there is none.
std::string OptionOfHeadlessOnly(const ProgramOptions& options);
// What is wrong when an option of the energy report or of --render ("--from",
// "--size") comes without its command, or both commands are given; empty
// when nothing is.
std::string MisplacedOfflineOption(const ProgramOptions& options);

// The names of the program's own options, in --help order (from the one
// table that also reads them and writes their --help lines).
std::vector<std::string> ProgramOptionNames();

// The --help text, the backends' own options included.
std::string UsageText(const std::string& programName);
std::string VersionText();

}  // namespace kvx
