#include "device/backends/backend_registry.h"

#include <algorithm>
#include <optional>

#include "device/backends/tracing_driver.h"
#include "device/sim/sim_backend.h"
#include "device/usb/usb_backend.h"

namespace kvx::device {

namespace {

const Backend* Find(const std::vector<Backend>& backends, std::string_view name) {
  const auto it = std::find_if(backends.begin(), backends.end(), [&](const Backend& b) { return b.name == name; });
  return it == backends.end() ? nullptr : &*it;
}

const BackendOption* Declared(const Backend& backend, std::string_view name) {
  const auto it = std::find_if(backend.options.begin(), backend.options.end(),
                               [&](const BackendOption& o) { return o.name == name; });
  return it == backend.options.end() ? nullptr : &*it;
}

// Taken by every backend: the registry wraps the chosen driver for it.
const BackendOption kTraceOption{"--trace", "FILE",
                                 "write every request to the strips and every reading received to FILE"};

std::string NotBuilt(const Backend& backend) {
  return "the " + std::string(backend.name) + " backend is not built in this version";
}

// Checks the option against its declaration and fills `argument`.
bool CheckValue(const BackendOption& declared, const std::string& option, BackendArgument& argument,
                std::string& error) {
  const std::size_t equals = option.find('=');
  argument.name = std::string(declared.name);
  argument.value = equals == std::string::npos ? std::string() : option.substr(equals + 1);
  if (declared.valueName.empty() && equals != std::string::npos) {
    error = std::string(declared.name) + " takes no value";
    return false;
  }
  if (!declared.valueName.empty() && argument.value.empty()) {
    error = std::string(declared.name) + " needs a value: " + Usage(declared);
    return false;
  }
  return true;
}

}  // namespace

std::string Usage(const BackendOption& option) {
  std::string text(option.name);
  const std::string_view value = option.valueName;
  // "[PERIOD]": a value that may be left out.
  if (value.size() > 2 && value.front() == '[' && value.back() == ']') return text + "[=" + std::string(value.substr(1));
  if (!value.empty()) text += "=" + std::string(value);
  return text;
}

void HelpLine(std::string& help, const std::string& indentedText, std::string_view what) {
  constexpr std::size_t kColumn = 21;
  help += indentedText;
  if (indentedText.size() + 1 > kColumn) help += "\n" + std::string(kColumn, ' ');
  else help += std::string(kColumn - indentedText.size(), ' ');
  for (const char c : what) help += c == '\n' ? "\n" + std::string(kColumn, ' ') : std::string(1, c);
  help += '\n';
}

const std::vector<Backend>& Backends() {
  static const std::vector<Backend> backends = {sim::SimBackend(), usb::UsbBackend()};
  return backends;
}

std::unique_ptr<Driver> CreateDriver(const std::vector<Backend>& backends, std::string_view name,
                                     std::vector<std::string>& options, std::string& error) {
  const Backend* chosen = Find(backends, name);
  if (!chosen) {
    std::string known;
    for (const Backend& backend : backends) known += (known.empty() ? "" : ", ") + std::string(backend.name);
    error = "unknown driver '" + std::string(name) + "' (known: " + known + ")";
    return nullptr;
  }
  if (!chosen->create) {  // said before any option of it or of another is judged
    error = NotBuilt(*chosen);
    return nullptr;
  }
  std::vector<BackendArgument> own;
  std::vector<std::string> rest;
  std::optional<std::string> traceFile;
  for (const std::string& option : options) {
    const std::string optionName = option.substr(0, option.find('='));
    if (optionName == kTraceOption.name) {
      BackendArgument argument;
      if (!CheckValue(kTraceOption, option, argument, error)) return nullptr;
      traceFile = argument.value;
      continue;
    }
    if (const BackendOption* declared = Declared(*chosen, optionName)) {
      BackendArgument argument;
      if (!CheckValue(*declared, option, argument, error)) return nullptr;
      own.push_back(std::move(argument));
      continue;
    }
    const auto owner = std::find_if(backends.begin(), backends.end(),
                                    [&](const Backend& b) { return Declared(b, optionName) != nullptr; });
    if (owner != backends.end()) {
      error = optionName + " belongs to --driver=" + std::string(owner->name) + ", not --driver=" +
              std::string(chosen->name);
      if (!owner->create) error += " (" + NotBuilt(*owner) + ")";
      return nullptr;
    }
    rest.push_back(option);
  }
  std::unique_ptr<Driver> driver = chosen->create(own, error);
  if (driver && traceFile) {
    std::string why;
    driver = MakeTracingDriver(std::move(driver), *traceFile, why);
    if (!driver) {
      error = "cannot write trace " + *traceFile + ": " + why;
      return nullptr;
    }
  }
  if (driver) options = std::move(rest);
  return driver;
}

std::unique_ptr<Driver> CreateDriver(std::string_view name, std::vector<std::string>& options, std::string& error) {
  return CreateDriver(Backends(), name, options, error);
}

std::string BackendHelp(const std::vector<Backend>& backends) {
  std::string help = "Backend (each takes only its own options):\n";
  HelpLine(help, "  --driver=NAME",
           "where the strips are reached (default: " + std::string(backends.front().name) + ")");
  HelpLine(help, "  " + Usage(kTraceOption), std::string(kTraceOption.help) + " (any backend)");
  for (const Backend& backend : backends) {
    if (!backend.create) {
      HelpLine(help, "  " + std::string(backend.name), std::string(backend.summary) + ": not built in this version");
      continue;
    }
    HelpLine(help, "  " + std::string(backend.name), backend.summary);
    for (const BackendOption& option : backend.options) HelpLine(help, "    " + Usage(option), option.help);
  }
  return help;
}

std::string BackendHelp() { return BackendHelp(Backends()); }

}  // namespace kvx::device
