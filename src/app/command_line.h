// Reading the command line: the program's own "--" options are taken out, the
// rest is joined into one text, and that text is read as the five start-up
// values "%x %d %d %d %d" (strip serial, record interval, split interval,
// logging mode, quantity) and checked.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/app_state.h"

namespace kvx {

struct CommandLineResult {
  bool ok = false;
  StartupValues values;
  std::string errorMessage;  // "Error in the Command Line Option '<text>'." when !ok
  std::string errorDetail;   // when !ok: which value is wrong and its range, for the next line
  // Text that the five values did not take (a letter where a number was
  // expected, a sixth value): left unread, as sscanf leaves it, and said once
  // with what the five values are taken to be (TakenAsText).
  std::string unreadText;
};

// "'W' was not read; the start-up values are taken as: serial 1A2B3, record
// interval 1 s, split interval 0 s, logging mode 1, quantity 0 (current)."
std::string TakenAsText(const CommandLineResult& result);

// An empty text gives the defaults (0, 1, 1, 0, 0) with no start-up actions.
// Any other text, even blanks only, is read with sscanf "%x %d %d %d %d"
// (values it does not supply stay 0) and checked, each as an unsigned
// comparison so a negative value fails: serial <= 999999, record interval <=
// 3600, logging mode <= 10, quantity <= 1; the split interval has no limit but
// must fit 32 bits (-2147483648 .. 4294967295, a negative one taken as its
// unsigned 32-bit value). Values are read in 64 bits, so a number beyond 32
// bits fails its check instead of wrapping into range.
// On success logMode carries +100 until the start-up actions have run.
// A NUL byte ends the text, as it ends every C string and argv element: what
// follows it is neither read nor quoted in the message.
CommandLineResult ParseCommandLine(std::string_view text);

struct ProgramArguments {
  std::vector<std::string> options;  // each as given, e.g. "--headless", "--scenario=FILE"
  std::string commandLineText;       // the other arguments joined with single blanks
};

// Splits argv (argv[0] is skipped). The program's options have the form
// --name or --name=value, besides "-h" for the help: an option never takes the
// following argument as its value, so "-1" always reaches the start-up values. A lone "--" ends the
// options; every argument after it belongs to the command-line text.
// `takesValue`, when given, names the options that take a value: written
// "--name VALUE" (two arguments) such an option is read as "--name=VALUE".
ProgramArguments SplitProgramArguments(int argc, const char* const argv[],
                                       const std::function<bool(std::string_view)>& takesValue = {});

}  // namespace kvx
