// The one place that chooses the backend: the list of backends this program
// knows, the split of the command line's options among them, and the driver
// of the chosen one. main() sees only CreateDriver and BackendHelp.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/backend.h"
#include "device/driver.h"

namespace kvx::device {

inline constexpr std::string_view DEFAULT_BACKEND = "sim";

// Every backend the program knows, the default first. A backend whose
// factory is empty is known by its name and options but not built in.
const std::vector<Backend>& Backends();

// Takes every option that some backend declares out of `options` (the rest,
// in order, stays for the window) and builds the driver of the backend named
// `name` from its own. Null with `error` set for an unknown name, a backend
// not built in, an option of another backend, a missing or surplus value, or
// the backend's own failure: all of them mistakes on the command line.
std::unique_ptr<Driver> CreateDriver(const std::vector<Backend>& backends, std::string_view name,
                                     std::vector<std::string>& options, std::string& error);
std::unique_ptr<Driver> CreateDriver(std::string_view name, std::vector<std::string>& options, std::string& error);

// "--name=VALUE" (or "--name" for a flag), as --help and messages show it.
std::string Usage(const BackendOption& option);
// Appends one --help entry: `indentedText` in a column of its own, `what`
// beside it (or from the next line when the text is too wide for the
// column); a "\n" in `what` continues under the column.
void HelpLine(std::string& help, const std::string& indentedText, std::string_view what);

// The --help section: --driver=NAME, each backend and its options.
std::string BackendHelp(const std::vector<Backend>& backends);
std::string BackendHelp();

}  // namespace kvx::device
