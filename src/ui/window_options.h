// The window's own program options: a screenshot run that starts the client,
// selects one node of the device tree, waits for readings, writes a PNG of the
// window and exits. Parsing is kept free of Qt so it is tested with the logic.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/address.h"

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
  std::optional<metrics::ListenAddress> metrics;  // serve /metrics there; none: no endpoint
};

// Takes the window's options out of the raw program arguments (argv[1..],
// before the program's own option splitting): "--screenshot FILE",
// "--select NODE", "--wait MS", each also as "--name=value". Everything else
// stays in `args`, in order. Returns false with `error` set for a missing or
// malformed value.
bool TakeWindowOptions(std::vector<std::string>& args, WindowOptions& out, std::string& error);

}  // namespace kvx::ui
