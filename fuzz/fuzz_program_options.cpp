// The program's own options: the input cut at its NUL bytes into "--"
// arguments, read by ParseProgramOptions.
//
// Invariants:
//   - on success no "--" option but --usb-id and --usb-fallback-id was given
//     twice, and every argument is accounted for: a known option sets its
//     field, anything else is left, in
//     order, in windowOptions (the backend's options among them); a duration is at most 4e9 ms (a positive one below 1
//     ms is 0);
//   - a report only when --energy-report was given, by hour, day or month; a
//     picture only when --render was given, of a size from 200 to 10000;
//   - on failure the message is not empty and names the option;
//   - the message printed for it holds no control character.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/program_options.h"
#include "device/printable_text.h"
#include "fuzz_check.h"

namespace {

using namespace kvx;
using kvx::fuzz::Require;

bool StartsWith(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

bool IsKnown(const std::string& option) {
  return option == "--headless" || option == "--help" || option == "-h" || option == "--version" ||
         option == "--list" || StartsWith(option, "--driver=") || StartsWith(option, "--metrics=") ||
         StartsWith(option, "--log-dir=") || StartsWith(option, "--duration=") ||
         StartsWith(option, "--metrics-web-config=") || option == "--energy-report" ||
         StartsWith(option, "--energy-report=") || StartsWith(option, "--serial=") || StartsWith(option, "--from=") ||
         StartsWith(option, "--to=") || StartsWith(option, "--price=") || StartsWith(option, "--format=") ||
         StartsWith(option, "--render=") || StartsWith(option, "--size=") || StartsWith(option, "--outlet-names=") ||
         StartsWith(option, "--nut-file=") || StartsWith(option, "--mqtt=") || StartsWith(option, "--mqtt-user=") ||
         StartsWith(option, "--mqtt-password-file=") || StartsWith(option, "--mqtt-ca=") ||
         StartsWith(option, "--mqtt-interval=");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> options;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    options.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  ProgramOptions parsed;
  std::string error;
  if (!ParseProgramOptions(options, parsed, error)) {
    Require(!error.empty(), "a refusal says why");
    Require(error.rfind("--", 0) == 0, "the message names the option");
    for (const char c : PrintableText(error))
      Require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "the printed message holds no control character");
    return 0;
  }
  std::vector<std::string> unknown;
  std::string driver = "sim", logDirectory = ".";
  bool metrics = false;
  bool headless = false, help = false, version = false, duration = false, list = false, report = false, render = false;
  std::vector<std::string> names;
  for (const std::string& option : options) {
    const std::string name = option.substr(0, option.find('='));
    if (StartsWith(name, "--") && name != "--usb-id" && name != "--usb-fallback-id") {
      Require(std::find(names.begin(), names.end(), name) == names.end(), "an option given twice is refused");
      names.push_back(name);
    }
    list = list || option == "--list";
    if (!IsKnown(option)) unknown.push_back(option);
    headless = headless || option == "--headless";
    help = help || option == "--help" || option == "-h";
    version = version || option == "--version";
    if (StartsWith(option, "--driver=")) driver = option.substr(9);
    metrics = metrics || StartsWith(option, "--metrics=");
    if (StartsWith(option, "--log-dir=")) logDirectory = option.substr(10);
    duration = duration || StartsWith(option, "--duration=");
    report = report || option == "--energy-report" || StartsWith(option, "--energy-report=");
    render = render || StartsWith(option, "--render=");
  }
  Require(parsed.windowOptions == unknown, "unknown options left in order");
  Require(parsed.headless == headless && parsed.help == help && parsed.version == version && parsed.list == list,
          "flags as given");
  Require(parsed.driverName == driver && parsed.logDirectory == logDirectory, "the last value of each option");
  Require(parsed.metrics.has_value() == metrics, "an endpoint only when asked for");
  Require(parsed.durationMs.has_value() == duration, "a duration only when given");
  Require(parsed.energyReport.has_value() == report, "a report only when asked for");
  if (parsed.energyReport)
    Require(*parsed.energyReport == "hour" || *parsed.energyReport == "day" || *parsed.energyReport == "month",
            "a report period the report knows");
  Require(parsed.render.has_value() == render, "a picture only when asked for");
  Require(parsed.renderWidth >= 200 && parsed.renderWidth <= 10000 && parsed.renderHeight >= 200 &&
              parsed.renderHeight <= 10000,
          "a picture's size within its bounds");
  if (parsed.durationMs) Require(*parsed.durationMs <= 4'000'000'000u, "duration bounded");
  return 0;
}
