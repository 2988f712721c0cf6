// A backend: one implementation of Driver that the program can run on, chosen
// with --driver=NAME. Each backend declares its own options (with their help
// lines) and builds its driver from them; the registry (device/backends/)
// lists the backends and hands each one only the options it declared.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/driver.h"

namespace kvx::device {

// One option of a backend, written "--name=VALUE" (or "--name" for a flag).
struct BackendOption {
  std::string_view name;       // "--scenario"
  std::string_view valueName;  // "FILE"; empty for a flag, which takes no value
  std::string_view help;       // one line for --help
};

// An option as given on the command line, already checked against its
// declaration: `value` is non-empty exactly when the option takes one.
struct BackendArgument {
  std::string name;
  std::string value;
};

// Builds the driver from the backend's own arguments, in the order given.
// Null with `error` set when a value is unusable or the driver cannot start.
using DriverFactory =
    std::function<std::unique_ptr<Driver>(const std::vector<BackendArgument>& arguments, std::string& error)>;

struct Backend {
  std::string_view name;     // the value of --driver
  std::string_view summary;  // one line for --help
  std::vector<BackendOption> options;
  DriverFactory create;  // empty: the backend is not built into this program
};

}  // namespace kvx::device
