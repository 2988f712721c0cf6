#include "ui/window_options.h"

#include <charconv>
#include <utility>

namespace kvx::ui {

namespace {

std::optional<int> ParseInt(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

// Splits "a:b:c" at the colons.
std::vector<std::string_view> SplitColons(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
    if (colon == std::string_view::npos) return parts;
    start = colon + 1;
  }
}

}  // namespace

std::optional<NodeRef> ParseNodeRef(std::string_view text) {
  const std::vector<std::string_view> parts = SplitColons(text);
  if (parts.size() < 2) return std::nullopt;
  const std::optional<int> position = ParseInt(parts[1]);
  if (!position || *position < 1) return std::nullopt;
  const std::string_view name = parts[0];
  if (parts.size() == 2) {
    if (name == "strip") return NodeRef{*position, 0};
    if (name == "calc") return NodeRef{*position, 1};
    if (name == "waves") return NodeRef{*position, 2};
    return std::nullopt;
  }
  if (parts.size() == 3 && name == "wave") {
    const std::optional<int> outlet = ParseInt(parts[2]);
    if (outlet && *outlet >= 1 && *outlet <= 4) return NodeRef{*position, 2 + *outlet};
  }
  return std::nullopt;
}

namespace {

bool ApplyOption(std::string_view name, const std::string& value, WindowOptions& out, std::string& error) {
  if (name == "--screenshot") {
    if (value.empty()) {
      error = "--screenshot needs a file name (--screenshot=FILE)";
      return false;
    }
    out.screenshotFile = value;
    return true;
  }
  if (name == "--select") {
    out.select = ParseNodeRef(value);
    if (!out.select) error = "--select expects strip:P, calc:P, waves:P or wave:P:N, not '" + value + "'";
    return out.select.has_value();
  }
  const std::optional<int> ms = ParseInt(value);
  if (!ms || *ms < 0) {
    error = "--wait expects milliseconds, not '" + value + "'";
    return false;
  }
  out.waitMs = *ms;
  return true;
}

}  // namespace

bool TakeWindowOptions(std::vector<std::string>& args, WindowOptions& out, std::string& error) {
  static constexpr std::string_view kNames[] = {"--screenshot", "--select", "--wait"};
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--") {  // the remaining arguments belong to the program
      rest.insert(rest.end(), std::make_move_iterator(args.begin() + static_cast<std::ptrdiff_t>(i)),
                  std::make_move_iterator(args.end()));
      break;
    }
    bool taken = false;
    for (std::string_view name : kNames) {
      if (arg == name) {
        if (i + 1 >= args.size()) {
          error = std::string(name) + " needs a value (" + std::string(name) + "=VALUE)";
          return false;
        }
        if (!ApplyOption(name, args[++i], out, error)) return false;
        taken = true;
      } else if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        if (!ApplyOption(name, std::string(arg.substr(name.size() + 1)), out, error)) return false;
        taken = true;
      }
      if (taken) break;
    }
    if (!taken) rest.push_back(std::move(args[i]));
  }
  args = std::move(rest);
  return true;
}

}  // namespace kvx::ui
