#include "app/command_line.h"

#include <cstdint>
#include <cstdio>
#include <string>

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
  // Read one value at a time, as "%x %d %d %d %d" does, to know where the
  // reading stopped: what follows was not read.
  unsigned long long serial = 0;
  long long numbers[4] = {0, 0, 0, 0};
  std::size_t at = 0;
  int n = 0;
  bool reading = std::sscanf(line.c_str(), " %llx%n", &serial, &n) == 1;
  if (reading) at = static_cast<std::size_t>(n);
  for (long long& number : numbers) {
    if (!reading) break;
    reading = std::sscanf(line.c_str() + at, " %lld%n", &number, &n) == 1;
    if (reading) at += static_cast<std::size_t>(n);
  }
  const auto [logInterval, splitInterval, logMode, quantity] = numbers;
  const std::size_t unread = line.find_first_not_of(" \t\n\v\f\r", at);
  if (unread != std::string::npos) result.unreadText = line.substr(unread);

  // Unsigned comparisons, so a negative value fails.
  const auto within = [](long long value, std::uint32_t max) { return static_cast<unsigned long long>(value) <= max; };
  const auto fail = [&](const std::string& detail) {
    result.errorMessage = "Error in the Command Line Option '" + line + "'.";
    result.errorDetail = detail;
    return result;
  };
  if (serial > MAX_SERIAL) return fail("The serial number must be 0 to F423F (hexadecimal).");
  if (!within(logInterval, MAX_LOG_INTERVAL_SEC))
    return fail("The record interval " + std::to_string(logInterval) + " must be 0 to 3600 seconds.");
  if (!within(logMode, MAX_LOG_MODE)) return fail("The logging mode " + std::to_string(logMode) + " must be 0 to 10.");
  if (!within(quantity, MAX_START_QUANTITY))
    return fail("The quantity " + std::to_string(quantity) + " must be 0 (current) or 1 (power).");
  if (splitInterval < MIN_SPLIT_INTERVAL || splitInterval > MAX_SPLIT_INTERVAL)
    return fail("The split interval " + std::to_string(splitInterval) + " must fit 32 bits (-2147483648 to 4294967295).");
  result.ok = true;
  result.values.commandSerial = static_cast<std::uint32_t>(serial);
  result.values.log.logIntervalSec = static_cast<std::uint32_t>(logInterval);
  // Any 32-bit value, negative ones as their unsigned 32-bit pattern.
  result.values.log.splitIntervalSec = static_cast<std::uint32_t>(splitInterval);
  result.values.log.logMode = static_cast<std::int32_t>(logMode) + STARTUP_ACTIONS_PENDING;
  result.values.startQuantity = static_cast<std::uint32_t>(quantity);
  return result;
}

std::string TakenAsText(const CommandLineResult& result) {
  const StartupValues& v = result.values;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%X", static_cast<unsigned>(v.commandSerial));
  const std::int32_t mode = v.log.logMode.load();
  return "'" + result.unreadText + "' was not read; the start-up values are taken as: serial " + serial +
         ", record interval " + std::to_string(v.log.logIntervalSec) + " s, split interval " +
         std::to_string(v.log.splitIntervalSec) + " s, logging mode " +
         std::to_string(mode >= STARTUP_ACTIONS_PENDING ? mode - STARTUP_ACTIONS_PENDING : mode) + ", quantity " +
         std::to_string(v.startQuantity) + (v.startQuantity != 0 ? " (power)." : " (current).");
}

ProgramArguments SplitProgramArguments(int argc, const char* const argv[],
                                       const std::function<bool(std::string_view)>& takesValue) {
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
      // "--log-dir DIR": the next argument is the value.
      if (takesValue && argument.find('=') == std::string_view::npos && takesValue(argument) && i + 1 < argc &&
          argv[i + 1] != nullptr) {
        result.options.back() += '=';
        result.options.back() += argv[++i];
      }
      continue;
    }
    if (!first) result.commandLineText += ' ';
    result.commandLineText += argument;
    first = false;
  }
  return result;
}

}  // namespace kvx
