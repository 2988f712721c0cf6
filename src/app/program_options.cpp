#include "app/program_options.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "kvx_version.h"
#include "device/backends/backend_registry.h"
#include "recording/energy_report.h"

namespace kvx {

namespace {

using Apply = bool (*)(ProgramOptions& out, const std::string& value, std::string& error);

// One option of the program: the single place its name, value, --help text
// ("\n" starts another line) and reading are declared, in the form the
// backends declare theirs. `apply` null: the window's, handed on to it.
struct OptionRow {
  device::BackendOption option;
  std::string_view owner;  // who uses it: "both", "headless", "window", "report", "render", "offline"
  Apply apply;
};

bool NeedValue(const std::string& value, std::string_view name, std::string_view what, std::string& error) {
  if (!value.empty()) return true;
  error = std::string(name) + " needs " + std::string(what);
  return false;
}

// The offline commands' options: "report" ones are refused without
// --energy-report, "render" ones without --render, "offline" ones without either.
std::vector<OptionRow> ReportRows() {
  return {
      {{"--energy-report", "[PERIOD]", "print the energy ledgers of the log directory by hour, day\n(default) or month and exit: kWh, measured share, gaps, peak"}, "report",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.energyReport = v.empty() ? std::string("day") : v;
         if (recording::ParseReportPeriod(*o.energyReport)) return true;
         error = "--energy-report takes hour, day or month: --energy-report=day";
         return false;
       }},
      {{"--serial", "HEX", "--energy-report, --render: only this strip"}, "offline",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         std::uint32_t serial = 0;
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), serial, 16);
         if (ec == std::errc() && end == v.data() + v.size() && serial != 0 && serial <= 0xFFFFFF) {
           o.reportSerial = serial;
           return true;
         }
         error = "--serial needs a strip's serial number in hexadecimal: --serial=1A2B3";
         return false;
       }},
      {{"--from", "TIME", "--energy-report, --render: from this day (YYYY-MM-DD) or\nmoment (YYYY-MM-DDTHH:MM[:SS]) on"}, "offline",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.reportFrom = recording::ParseReportDate(v);
         if (!o.reportFrom) error = "--from needs a date or a time: --from=YYYY-MM-DD or --from=YYYY-MM-DDTHH:MM";
         return o.reportFrom.has_value();
       }},
      {{"--to", "TIME", "--energy-report, --render: up to this moment or to the end\nof this day"}, "offline",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.reportTo = recording::ParseReportDate(v, /*end=*/true);
         if (!o.reportTo) error = "--to needs a date or a time: --to=YYYY-MM-DD or --to=YYYY-MM-DDTHH:MM";
         return o.reportTo.has_value();
       }},
      {{"--price", "AMOUNT", "--energy-report: price per kWh, adds the cost"}, "report",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         double price = 0;
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), price);
         if (ec == std::errc() && end == v.data() + v.size() && price >= 0 && price < 1e9) {
           o.reportPrice = price;
           return true;
         }
         error = "--price needs an amount per kWh: --price=0.30";
         return false;
       }},
      {{"--format", "FORMAT", "--energy-report: table (default) or csv"}, "report",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         if (v != "table" && v != "csv") error = "--format takes table or csv: --format=csv";
         o.reportCsv = v == "csv";
         return error.empty();
       }},
  };
}

// The picture's own options (--serial, --from and --to it shares with the report).
std::vector<OptionRow> RenderRows() {
  return {
      {{"--render", "FILE", "draw the log directory's history into FILE (.png or .svg) and\nexit: each outlet's min-max band and mean, gaps with their causes"}, "render",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.render = v;
         return NeedValue(v, "--render", "a file: --render=FILE.png or --render=FILE.svg", error);
       }},
      {{"--size", "WxH", "--render: the picture's size in pixels (default 1200x600)"}, "render",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         const std::size_t x = v.find('x');
         int width = 0, height = 0;
         const auto number = [&](std::size_t from, std::size_t to, int& out) {
           const auto [end, ec] = std::from_chars(v.data() + from, v.data() + to, out);
           return ec == std::errc() && end == v.data() + to && out >= 200 && out <= 10000;
         };
         if (x != std::string::npos && number(0, x, width) && number(x + 1, v.size(), height)) {
           o.renderWidth = width;
           o.renderHeight = height;
           return true;
         }
         error = "--size needs a width and a height of 200 to 10000 pixels: --size=1200x600";
         return false;
       }},
  };
}

// What the run tells other programs, and the outlets' names it tells them.
std::vector<OptionRow> PublishRows() {
  return {
      {{"--outlet-names", "NAMES",
        "the outlets' names, NAME1,NAME2,NAME3,NAME4 (\\, a comma in a name;\nUTF-8, at most 40 bytes each): journal, "
        "ledger, metrics, charts"},
       "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         return ParseOutletNames(v, o.outletNames, error);
       }},
      {{"--nut-file", "FILE",
        "keep FILE (FILE.dev) up to date for NUT's dummy-ups driver:\nthe strip as a PDU, at most once a second "
        "(docs/nut.md)"},
       "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.publish.nutFile = v;
         return NeedValue(v, "--nut-file", "a file: --nut-file=FILE.dev", error);
       }},
      {{"--mqtt", "URL",
        "publish to Home Assistant over MQTT: mqtt://HOST[:PORT] or\nmqtts://HOST[:PORT] (docs/home-assistant.md)"},
       "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.publish.mqtt.url = v;
         // Refused here, before anything (the journal's list of options) could keep a password.
         if (v.find('@') != std::string::npos) {
           error = "--mqtt takes no user or password in its URL: use --mqtt-user and --mqtt-password-file";
           return false;
         }
         return NeedValue(v, "--mqtt", "a broker: --mqtt=mqtt://HOST[:PORT]", error);
       }},
      {{"--mqtt-user", "USER", "the broker's user name"},
       "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.publish.mqtt.user = v;
         return NeedValue(v, "--mqtt-user", "a user name: --mqtt-user=USER", error);
       }},
      {{"--mqtt-password-file", "FILE", "the broker's password: the first line of FILE (never on\nthe command line)"},
       "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.publish.mqtt.passwordFile = v;
         return NeedValue(v, "--mqtt-password-file", "a file: --mqtt-password-file=FILE", error);
       }},
      {{"--mqtt-ca", "FILE", "mqtts: the certificate authority of the broker's certificate"},
       "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.publish.mqtt.caFile = v;
         return NeedValue(v, "--mqtt-ca", "a file: --mqtt-ca=FILE", error);
       }},
      {{"--mqtt-interval", "SEC", "seconds between two state messages (default 10)"},
       "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), o.publish.mqtt.intervalS);
         if (ec == std::errc() && end == v.data() + v.size() && o.publish.mqtt.intervalS >= 1 &&
             o.publish.mqtt.intervalS <= 3600)
           return true;
         error = "--mqtt-interval needs 1 to 3600 seconds: --mqtt-interval=10";
         return false;
       }},
  };
}

std::vector<OptionRow> CoreRows() {
  return {
      {{"--headless", "", "run without a window (for servers); prints a status line\nabout once a second; SIGINT/SIGTERM/SIGHUP stop it cleanly"}, "headless",
       [](ProgramOptions& o, const std::string&, std::string&) { return o.headless = true; }},
      {{"--duration", "SEC", "headless: stop by itself after SEC seconds"}, "headless",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         double seconds = 0;
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
         if (ec != std::errc() || end != v.data() + v.size() || !(seconds > 0) || seconds > 4.0e6) {
           error = "--duration needs a positive number of seconds: --duration=SECONDS";
           return false;
         }
         o.durationMs = static_cast<std::uint32_t>(seconds * 1000.0);
         return true;
       }},
      {{"--log-dir", "DIR", "write the CSV files into DIR (default: the working directory);\na leading ~ is the home directory; made if missing"}, "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.logDirectory = v;
         return NeedValue(v, "--log-dir", "a directory: --log-dir=DIR", error);
       }},
      {{"--list", "", "print the strips found (serial, interface class, path), exit"}, "both",
       [](ProgramOptions& o, const std::string&, std::string&) { return o.list = true; }},
      {{"--metrics", "[ADDR:]PORT", "serve Prometheus metrics at http://ADDR:PORT/metrics;\nADDR defaults to 127.0.0.1 (loopback); other interfaces only by\ntheir numeric address, e.g. 0.0.0.0:9100 for all"}, "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.metrics = metrics::ParseListenAddress(v, error);
         return o.metrics.has_value();
       }},
      {{"--metrics-web-config", "FILE", "TLS and basic authentication of the endpoint, in the\nexporters' web configuration format (docs/metrics.md)"}, "both",
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.metricsWebConfig = v;
         return NeedValue(v, "--metrics-web-config", "a file: --metrics-web-config=FILE", error);
       }},
      {{"--screenshot", "FILE", "window: select a node, wait for data, save a PNG and exit"}, "window", nullptr},
      {{"--select", "NODE", "with --screenshot: strip:P, calc:P, waves:P or wave:P:N"}, "window", nullptr},
      {{"--wait", "MS", "with --screenshot: how long to wait for readings"}, "window", nullptr},
      {{"--trend", "", "window: open the trend window (the history) at start"}, "window", nullptr},
      {{"--help", "", "show this text (also -h)"}, "both",
       [](ProgramOptions& o, const std::string&, std::string&) { return o.help = true; }},
      {{"--version", "", "show the version"}, "both",
       [](ProgramOptions& o, const std::string&, std::string&) { return o.version = true; }},
      {{"--driver", "NAME", ""}, "both",  // its help line is the backends' (BackendHelp)
       [](ProgramOptions& o, const std::string& v, std::string& error) {
         o.driverName = v;
         return NeedValue(v, "--driver", "a backend name: --driver=NAME", error);
       }},
  };
}

// The report's and the picture's rows come after the program's own, before the window's.
std::vector<OptionRow> AllRows() {
  std::vector<OptionRow> all = CoreRows();
  const std::vector<OptionRow> publish = PublishRows();
  all.insert(std::find_if(all.begin(), all.end(), [](const OptionRow& r) { return r.option.name == "--list"; }),
             publish.begin(), publish.end());
  std::vector<OptionRow> offline = ReportRows();
  const std::vector<OptionRow> render = RenderRows();
  offline.insert(offline.end(), render.begin(), render.end());
  const auto window = std::find_if(all.begin(), all.end(), [](const OptionRow& r) { return r.owner == "window"; });
  all.insert(window, offline.begin(), offline.end());
  return all;
}

const std::vector<OptionRow>& Table() {
  static const std::vector<OptionRow> rows = AllRows();
  return rows;
}

// "[PERIOD]": the option is given alone or with "=VALUE".
bool ValueIsOptional(const OptionRow& row) {
  return row.option.valueName.size() > 2 && row.option.valueName.front() == '[' && row.option.valueName.back() == ']';
}

const OptionRow* Find(std::string_view name) {
  if (name == "-h") name = "--help";
  for (const OptionRow& row : Table())
    if (row.option.name == name) return &row;
  return nullptr;
}

}  // namespace

std::string OptionOfHeadlessOnly(const ProgramOptions& options) {
  if (options.headless) return {};
  for (const std::string& option : options.given) {
    const OptionRow* row = Find(std::string_view(option).substr(0, option.find('=')));
    if (row && row->owner == "headless" && row->option.name != "--headless") return std::string(row->option.name);
  }
  return {};
}

std::string MisplacedOfflineOption(const ProgramOptions& options) {
  if (options.energyReport && options.render) return "--energy-report and --render: give one of them";
  for (const std::string& option : options.given) {
    const OptionRow* row = Find(std::string_view(option).substr(0, option.find('=')));
    if (!row) continue;
    const std::string name(row->option.name);
    if (row->owner == "report" && !options.energyReport) return name + " works with --energy-report only";
    if (row->owner == "render" && !options.render) return name + " works with --render only";
    if (row->owner == "offline" && !options.energyReport && !options.render)
      return name + " works with --energy-report or --render only";
  }
  return {};
}

std::vector<std::string> ProgramOptionNames() {
  std::vector<std::string> names;
  for (const OptionRow& row : Table()) names.emplace_back(row.option.name);
  return names;
}

bool OptionTakesValue(std::string_view name) {
  // An optional value ("--energy-report[=PERIOD]") is given with "=" only.
  if (const OptionRow* row = Find(name)) return !row->option.valueName.empty() && !ValueIsOptional(*row);
  if (name == "--trace") return true;  // any backend's
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
    const std::size_t equals = option.find('=');
    const OptionRow* row = Find(std::string_view(option).substr(0, equals));
    // A flag given a value ("--headless=1") is not the flag: it goes on, and
    // is refused as unknown where the options end.
    const bool fits = row && row->apply &&
                      (ValueIsOptional(*row) || row->option.valueName.empty() == (equals == std::string::npos));
    if (!fits) {
      out.windowOptions.push_back(option);
      continue;
    }
    const std::string value = equals == std::string::npos ? std::string() : option.substr(equals + 1);
    if (!row->apply(out, value, error)) return false;
  }
  return true;
}

std::string UsageText(const std::string& programName) {
  std::string options;
  for (const OptionRow& row : Table())
    if (!row.option.help.empty()) device::HelpLine(options, "  " + device::Usage(row.option), row.option.help);
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
         "Options:\n" +
         options + "\n" + device::BackendHelp() +
         "An option that takes a value may also be given as two arguments (--log-dir DIR).\n"
         "\n"
         "Exit status: 0 clean stop, 1 failure, 2 error in the start-up values or options.\n"
         "\n"
         "Example: " + programName + " --headless 1A2B3 10 3600 2 1\n"
         "  polls strip 1A2B3, logs power every 10 s, starts new files every hour.\n";
}

std::string VersionText() { return "kvxclient " KVX_VERSION " (" KVX_VERSION_LABEL ")\n"; }

}  // namespace kvx
