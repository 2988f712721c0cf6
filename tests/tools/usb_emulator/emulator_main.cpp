// kvx-usb-emulator --scenario=FILE [--trace=FILE] -- COMMAND ARGS...
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "emulator.h"

namespace kvx::usbemu {

namespace {

constexpr char USAGE[] =
    "usage: kvx-usb-emulator [--scenario=FILE] [--trace=FILE] [--control] -- COMMAND [ARGS...]\n"
    "Runs COMMAND with the strips of the scenario (the built-in default scenario without one)\n"
    "attached as emulated USB devices: primary-class strips as 1209:0001, fallback-class strips\n"
    "as 1209:0002. --trace writes every request and reading the strips see. Exits with\n"
    "COMMAND's status. --control opens a control socket for tests, its path in\n"
    "KVX_USB_EMULATOR_CONTROL (requests: plug N, unplug N, hold N, offer N,\n"
    "delay N REQUEST MS|never, clear N, pending-controls).\n";

constexpr char PRELOAD_LIBRARY[] = "libumockdev-preload.so.0";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kvx-usb-emulator: %s\n%s", message.c_str(), USAGE);
  return 2;
}

// umockdev sends the testbed's uevents from this process, through /sys as
// this process sees it: so the emulator itself must run with the preload
// library, which redirects /sys to the testbed. It re-executes itself with
// the library added to LD_PRELOAD (the command inherits it). Inert until the
// testbed exists.
void RunUnderPreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, PRELOAD_LIBRARY) != nullptr) return;
  const std::string value = std::string(PRELOAD_LIBRARY) + (preload != nullptr ? std::string(":") + preload : "");
  setenv("LD_PRELOAD", value.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "kvx-usb-emulator: cannot re-execute itself with %s: %s\n", PRELOAD_LIBRARY,
               std::strerror(errno));
  std::exit(1);
}

}  // namespace

int EmulatorMain(int argc, char** argv) {
  std::string scenarioPath;
  std::string tracePath;
  std::vector<std::string> command;
  bool control = false;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (arg.starts_with("--scenario=")) {
      scenarioPath = arg.substr(11);
    } else if (arg == "--control") {
      control = true;
    } else if (arg.starts_with("--trace=")) {
      tracePath = arg.substr(8);
    } else {
      return UsageError("unknown option '" + std::string(arg) + "'");
    }
  }
  for (; i < argc; ++i) command.emplace_back(argv[i]);
  if (command.empty()) return UsageError("no command given after --");

  RunUnderPreload(argv);
  std::string error;
  sim::Scenario scenario = sim::DefaultScenario();
  if (!scenarioPath.empty()) {
    std::optional<sim::Scenario> loaded = sim::LoadScenarioFile(scenarioPath, error);
    if (!loaded) return UsageError(error);
    scenario = std::move(*loaded);
  }
  Emulator emulator(scenario);
  if (!tracePath.empty() && !emulator.OpenTrace(tracePath, error)) return UsageError(error);
  if (!emulator.Start(error)) {
    std::fprintf(stderr, "kvx-usb-emulator: %s\n", error.c_str());
    return 1;
  }
  if (control && !emulator.ListenForControl(error)) {
    std::fprintf(stderr, "kvx-usb-emulator: %s\n", error.c_str());
    return 1;
  }
  const int status = emulator.Run(command, error);
  if (status < 0) {
    std::fprintf(stderr, "kvx-usb-emulator: %s: %s\n", command.front().c_str(), error.c_str());
    return 127;
  }
  return status;
}

}  // namespace kvx::usbemu

int main(int argc, char** argv) { return kvx::usbemu::EmulatorMain(argc, argv); }
