// The Prometheus text exposition format (version 0.0.4) of a metrics snapshot.
// Gauges that do not apply (the quantity the strip is not sending, a line
// quantity that reads "(BAD)", a strip that is not connected) are left out
// rather than shown as 0; counters of every strip seen since start are shown.
#pragma once

#include <string>

#include "metrics/snapshot.h"

namespace kvx::metrics {

inline constexpr char EXPOSITION_CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

std::string FormatExposition(const MetricsSnapshot& snapshot);

}  // namespace kvx::metrics
