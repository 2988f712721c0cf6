// What the window needs before Qt starts: its own program options (a
// screenshot run that starts the client, selects one node of the device tree,
// waits for readings, writes a PNG of the window and exits) and whether there
// is a display to show it on. Kept free of Qt so it is tested with the logic.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/outlet_names.h"
#include "metrics/address.h"
#include "metrics/web_config.h"
#include "publish/publishers.h"

namespace kvx::ui {

// A node of the device tree by strip position (1-based) and node kind (0..6).
struct NodeRef {
  int position = 1;
  int kind = 0;
  bool operator==(const NodeRef&) const = default;
};

// "strip:P" (serial-number node), "calc:P" (calculation), "waves:P" (the
// waveform parent node), "wave:P:N" (waveform of outlet N, 1..4). P >= 1.
std::optional<NodeRef> ParseNodeRef(std::string_view text);

struct WindowOptions {
  std::string commandLineText;   // the five start-up values, as one text
  std::string logDirectory = ".";  // where the CSV logs go
  std::string screenshotFile;    // empty: the normal interactive run
  std::optional<NodeRef> select;  // node to select before the screenshot
  int waitMs = 2000;             // how long readings are awaited before the picture
  bool trend = false;            // --trend: the trend window opens at start (and is the picture)
  std::optional<metrics::ListenAddress> metrics;  // serve /metrics there; none: no endpoint
  metrics::WebConfig metricsWeb;                  // its TLS and users
  std::vector<std::string> programOptions;  // every option as given, for the journal
  OutletNames outletNames;                  // --outlet-names
  publish::PublishOptions publish;          // --nut-file
};

// Takes the window's options out of the options the program left for the
// window (ProgramOptions::windowOptions, each one argument of the form --name
// or --name=value): "--screenshot=FILE", "--select=NODE", "--wait=MS", "--trend".
// Everything else stays in `options`, in order. Returns false with `error` set
// for a missing or malformed value.
bool TakeWindowOptions(std::vector<std::string>& options, WindowOptions& out, std::string& error);

// Whether Qt will find somewhere to show the window, from the environment it
// reads (null for a variable that is not set): the platforms named by
// QT_QPA_PLATFORM ("xcb", "wayland;xcb", "offscreen", ...), of which the X and
// Wayland ones need DISPLAY or WAYLAND_DISPLAY and the others no display at
// all; without QT_QPA_PLATFORM, an X or a Wayland display. Checked before the
// application object exists, since Qt aborts the process when it finds none.
bool DisplayAvailable(const char* qpaPlatform, const char* x11Display, const char* waylandDisplay);

}  // namespace kvx::ui
