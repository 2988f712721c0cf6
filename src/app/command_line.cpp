#include "app/command_line.h"

#include <cstdint>
#include <cstdio>

namespace kvx {
namespace {

constexpr std::uint32_t MAX_SERIAL = 999999;  // hexadecimal F423F
constexpr std::uint32_t MAX_LOG_INTERVAL_SEC = 3600;
constexpr std::uint32_t MAX_LOG_MODE = 10;
constexpr std::uint32_t MAX_START_QUANTITY = 1;
// The split interval is not range-checked, but it must be a number that a
// 32-bit "%d" holds: a negative one is taken as its unsigned 32-bit value (-5
// is 4294967291 s), while one that needs more bits (4294967296) would wrap
// into a short interval and is refused like any other value out of range.
constexpr long long MIN_SPLIT_INTERVAL = INT32_MIN;
constexpr long long MAX_SPLIT_INTERVAL = UINT32_MAX;

// "-h" is the one short option: the usual way to ask for the help text. Any
// other argument with a single dash ("-1") is a start-up value.
bool IsOption(std::string_view argument) {
  return argument == "-h" || (argument.size() >= 2 && argument.substr(0, 2) == "--");
}

}  // namespace

CommandLineResult ParseCommandLine(std::string_view text) {
  // The text is read as the C string it is on every platform (no argv element
  // can hold a NUL): a NUL ends it, so the values read, the empty-text rule and
  // the error message all see the same characters.
  text = text.substr(0, text.find('\0'));
  CommandLineResult result;
  if (text.empty()) {
    result.ok = true;
    result.values = StartupValues{0, {1, 1, 0}, 0};
    return result;
  }
  // sscanf needs a terminated string; the view need not be one.
  const std::string line(text);
  // "%x %d %d %d %d" read into 64-bit variables: a 32-bit read would wrap a
  // longer number into range (serial 100000001 would select strip 1).
  unsigned long long serial = 0;
  long long logInterval = 0;
  long long splitInterval = 0;
  long long logMode = 0;
  long long quantity = 0;
  std::sscanf(line.c_str(), "%llx %lld %lld %lld %lld", &serial, &logInterval, &splitInterval, &logMode, &quantity);

  // Unsigned comparisons, so a negative value fails.
  const auto within = [](long long value, std::uint32_t max) { return static_cast<unsigned long long>(value) <= max; };
  const bool valid = serial <= MAX_SERIAL && within(logInterval, MAX_LOG_INTERVAL_SEC) && within(logMode, MAX_LOG_MODE) &&
                     within(quantity, MAX_START_QUANTITY) && splitInterval >= MIN_SPLIT_INTERVAL &&
                     splitInterval <= MAX_SPLIT_INTERVAL;
  if (!valid) {
    result.errorMessage = "Error in the Command Line Option '" + line + "'.";
    return result;
  }
  result.ok = true;
  result.values.commandSerial = static_cast<std::uint32_t>(serial);
  result.values.log.logIntervalSec = static_cast<std::uint32_t>(logInterval);
  // Any 32-bit value, negative ones as their unsigned 32-bit pattern.
  result.values.log.splitIntervalSec = static_cast<std::uint32_t>(splitInterval);
  result.values.log.logMode = static_cast<std::int32_t>(logMode) + STARTUP_ACTIONS_PENDING;
  result.values.startQuantity = static_cast<std::uint32_t>(quantity);
  return result;
}

ProgramArguments SplitProgramArguments(int argc, const char* const argv[]) {
  ProgramArguments result;
  bool optionsEnded = false;
  bool first = true;
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] == nullptr) break;
    const std::string_view argument(argv[i]);
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && IsOption(argument)) {
      result.options.emplace_back(argument);
      continue;
    }
    if (!first) result.commandLineText += ' ';
    result.commandLineText += argument;
    first = false;
  }
  return result;
}

}  // namespace kvx
