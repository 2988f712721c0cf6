// The command line: the whole input as the command-line text, and the input
// cut at its NUL bytes into an argv array (as /proc/PID/cmdline lays argv out)
// for the split into program options and command-line text, whose result is
// read again.
//
// Invariants of ParseCommandLine(text), where `line` is the text up to its
// first NUL byte (the parser reads the text as a C string, as argv hands it):
//   - an empty line gives ok with the defaults (0, 1, 1, 0, 0);
//   - ok otherwise means every check holds as an unsigned 32-bit comparison
//     (serial <= 999999, record interval <= 3600, quantity <= 1) and logMode
//     is the mode (0..10) plus 100; the message is empty;
//   - !ok means the message is exactly "Error in the Command Line Option '<line>'.";
//   - the text and `line` give the same result.
// Invariants of SplitProgramArguments: every argument lands exactly once, in
// order, in the options (before a lone "--", starting with "--") or in the
// text (joined with single blanks); a null entry ends argv.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "fuzz_check.h"

namespace {

using namespace kvx;
using kvx::fuzz::Require;

const std::string ERROR_PREFIX = "Error in the Command Line Option '";

bool SameResult(const CommandLineResult& a, const CommandLineResult& b) {
  const StartupValues& x = a.values;
  const StartupValues& y = b.values;
  return a.ok == b.ok && a.errorMessage == b.errorMessage && x.commandSerial == y.commandSerial &&
         x.log.logIntervalSec == y.log.logIntervalSec && x.log.splitIntervalSec == y.log.splitIntervalSec &&
         x.log.logMode == y.log.logMode && x.startQuantity == y.startQuantity;
}

void CheckParse(std::string_view text) {
  const CommandLineResult result = ParseCommandLine(text);
  const std::string_view line = text.substr(0, text.find('\0'));
  const StartupValues& v = result.values;
  if (line.empty()) {
    Require(result.ok && result.errorMessage.empty(), "an empty line is accepted");
    Require(v.commandSerial == 0 && v.log.logIntervalSec == 1 && v.log.splitIntervalSec == 1 && v.log.logMode == 0 &&
                v.startQuantity == 0,
            "an empty line gives the defaults without start-up actions");
  } else if (result.ok) {
    Require(result.errorMessage.empty(), "no message on success");
    Require(v.commandSerial <= 999999u, "serial checked");
    Require(v.log.logIntervalSec <= 3600u, "record interval checked");
    Require(v.log.logMode >= 100 && static_cast<std::uint32_t>(v.log.logMode - 100) <= 10u,
            "logging mode checked, +100");
    Require(v.startQuantity <= 1u, "quantity checked");
  } else {
    Require(result.errorMessage == ERROR_PREFIX + std::string(line) + "'.", "error message quotes the line exactly");
  }
  if (line.size() != text.size()) Require(SameResult(result, ParseCommandLine(line)), "a NUL ends the text");
}

void CheckSplit(std::string_view input) {
  std::vector<std::string> arguments;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    arguments.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  std::vector<const char*> argv{"kvxclient"};
  for (const std::string& a : arguments) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(argv.size()) - 1;

  std::vector<std::string> options;
  std::string text;
  bool ended = false;
  bool first = true;
  for (const std::string& a : arguments) {
    if (!ended && a == "--") {
      ended = true;
    } else if (!ended && ((a.size() >= 2 && a.compare(0, 2, "--") == 0) || a == "-h")) {
      // "-h" is the one short option (the help); other single dashes are values.
      options.push_back(a);
    } else {
      text += (first ? "" : " ") + a;
      first = false;
    }
  }
  const ProgramArguments split = SplitProgramArguments(argc, argv.data());
  Require(split.options == options, "options taken out in order");
  Require(split.commandLineText == text, "the rest joined with single blanks");
  // With argc one too large the terminating null entry ends the arguments.
  const ProgramArguments padded = SplitProgramArguments(argc + 1, argv.data());
  Require(padded.options == options && padded.commandLineText == text, "a null entry ends argv");
  Require(SplitProgramArguments(argc, nullptr).commandLineText.empty(), "no argv, no text");
  CheckParse(split.commandLineText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckParse(input);
  CheckSplit(input);
  return 0;
}
