#include "app/program_options.h"

#include <charconv>
#include <set>

#include "kvx_version.h"
#include "device/backends/backend_registry.h"

namespace kvx {

namespace {
bool ValueOf(const std::string& option, const std::string& name, std::string& value) {
  const std::string prefix = name + "=";
  if (option.rfind(prefix, 0) != 0) return false;
  value = option.substr(prefix.size());
  return true;
}
}  // namespace

bool OptionTakesValue(std::string_view name) {
  static constexpr std::string_view kOwn[] = {"--driver", "--log-dir", "--metrics", "--metrics-web-config", "--duration",
                                              "--screenshot", "--select", "--wait", "--trace"};
  for (std::string_view own : kOwn)
    if (name == own) return true;
  for (const device::Backend& backend : device::Backends())
    for (const device::BackendOption& option : backend.options)
      if (option.name == name && !option.valueName.empty()) return true;
  return false;
}

bool ParseProgramOptions(const std::vector<std::string>& options, ProgramOptions& out, std::string& error) {
  out.given = options;
  std::set<std::string_view> seen;
  for (const std::string& option : options) {
    const std::string_view name = std::string_view(option).substr(0, option.find('='));
    // The IDs repeat; "-h" twice asks for the help all the same.
    const bool repeats = name == "--usb-id" || name == "--usb-fallback-id" || !name.starts_with("--");
    if (!repeats && !seen.insert(name).second) {
      error = std::string(name) + " is given twice; give it once";
      return false;
    }
  }
  for (const std::string& option : options) {
    std::string value;
    if (option == "--list") {
      out.list = true;
    } else if (option == "--headless") {
      out.headless = true;
    } else if (option == "--help" || option == "-h") {
      out.help = true;
    } else if (option == "--version") {
      out.version = true;
    } else if (ValueOf(option, "--driver", value)) {
      if (value.empty()) return error = "--driver needs a backend name: --driver=NAME", false;
      out.driverName = value;
    } else if (ValueOf(option, "--log-dir", value)) {
      if (value.empty()) return error = "--log-dir needs a directory: --log-dir=DIR", false;
      out.logDirectory = value;
    } else if (ValueOf(option, "--metrics-web-config", value)) {
      if (value.empty()) return error = "--metrics-web-config needs a file: --metrics-web-config=FILE", false;
      out.metricsWebConfig = value;
    } else if (ValueOf(option, "--metrics", value)) {
      out.metrics = metrics::ParseListenAddress(value, error);
      if (!out.metrics) return false;
    } else if (ValueOf(option, "--duration", value)) {
      double seconds = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (ec != std::errc() || end != value.data() + value.size() || !(seconds > 0) || seconds > 4.0e6) {
        return error = "--duration needs a positive number of seconds: --duration=SECONDS", false;
      }
      out.durationMs = static_cast<std::uint32_t>(seconds * 1000.0);
    } else {
      out.windowOptions.push_back(option);
    }
  }
  return true;
}

std::string UsageText(const std::string& programName) {
  return "Usage: " + programName +
         " [OPTIONS] [SERIAL [RECORD_SEC [SPLIT_SEC [LOG_MODE [QUANTITY]]]]]\n"
         "\n"
         "Monitors KVX metering power strips and records their readings to CSV files.\n"
         "\n"
         "Start-up values (all optional, separated by blanks):\n"
         "  SERIAL      serial number of the strip to poll, hexadecimal (0 to F423F); 0 = none\n"
         "  RECORD_SEC  seconds between two CSV records (0 to 3600; 0 = every reading)\n"
         "  SPLIT_SEC   seconds after which new CSV files are started (LOG_MODE 2 only)\n"
         "  LOG_MODE    0 = logging off at start, 1 = logging on, 2 = on and split (0 to 10)\n"
         "  QUANTITY    0 = current (mA), 1 = power (W)\n"
         "Without any value the client starts idle: nothing is polled or logged until\n"
         "a strip is chosen.\n"
         "\n"
         "Options:\n"
         "  --headless         run without a window (for servers); prints a status line\n"
         "                     about once a second; SIGINT/SIGTERM/SIGHUP stop it cleanly\n"
         "  --duration=SEC     headless: stop by itself after SEC seconds\n"
         "  --log-dir=DIR      write the CSV files into DIR (default: the working directory);\n"
         "                     a leading ~ is the home directory; made if missing\n"
         "  --list             print the strips found (serial, interface class, path), exit\n"
         "  --metrics=[ADDR:]PORT  serve Prometheus metrics at http://ADDR:PORT/metrics;\n"
         "                     ADDR defaults to 127.0.0.1 (loopback); other interfaces only by\n"
         "                     their numeric address, e.g. 0.0.0.0:9100 for all\n"
         "  --metrics-web-config=FILE  TLS and basic authentication of the endpoint, in the\n"
         "                     exporters' web configuration format (docs/metrics.md)\n"
         "  --screenshot=FILE  window: select a node, wait for data, save a PNG and exit\n"
         "  --select=NODE      with --screenshot: strip:P, calc:P, waves:P or wave:P:N\n"
         "  --wait=MS          with --screenshot: how long to wait for readings\n"
         "  -h, --help         show this text\n"
         "  --version          show the version\n"
         "\n" +
         device::BackendHelp() +
         "An option that takes a value may also be given as two arguments (--log-dir DIR).\n"
         "\n"
         "Exit status: 0 clean stop, 1 failure, 2 error in the start-up values or options.\n"
         "\n"
         "Example: " + programName + " --headless 1A2B3 10 3600 2 1\n"
         "  polls strip 1A2B3, logs power every 10 s, starts new files every hour.\n";
}

std::string VersionText() { return "kvxclient " KVX_VERSION " (" KVX_VERSION_LABEL ")\n"; }

}  // namespace kvx
