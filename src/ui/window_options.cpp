#include "ui/window_options.h"

#include <algorithm>
#include <charconv>
#include <iterator>
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

bool TakeWindowOptions(std::vector<std::string>& options, WindowOptions& out, std::string& error) {
  static constexpr std::string_view kNames[] = {"--screenshot", "--select", "--wait"};
  std::vector<std::string> rest;
  for (std::string& option : options) {
    const std::string_view text = option;
    const std::size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    if (text == "--trend") {
      out.trend = true;
      continue;
    }
    if (std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames)) {
      rest.push_back(std::move(option));
      continue;
    }
    if (equals == std::string_view::npos) {
      error = std::string(name) + " needs a value (" + std::string(name) + "=VALUE)";
      return false;
    }
    if (!ApplyOption(name, std::string(text.substr(equals + 1)), out, error)) return false;
  }
  options = std::move(rest);
  return true;
}

bool DisplayAvailable(const char* qpaPlatform, const char* x11Display, const char* waylandDisplay) {
  const bool x11 = x11Display != nullptr && *x11Display != '\0';
  const bool wayland = waylandDisplay != nullptr && *waylandDisplay != '\0';
  if (qpaPlatform == nullptr || *qpaPlatform == '\0') return x11 || wayland;
  std::string_view platforms = qpaPlatform;
  for (;;) {
    const std::size_t semicolon = platforms.find(';');
    const std::string_view entry = platforms.substr(0, semicolon);
    const std::string_view name = entry.substr(0, entry.find(':'));  // "name:arguments"
    if (name.starts_with("xcb") ? x11 : name.starts_with("wayland") ? wayland : !name.empty()) return true;
    if (semicolon == std::string_view::npos) return false;
    platforms.remove_prefix(semicolon + 1);
  }
}

}  // namespace kvx::ui
