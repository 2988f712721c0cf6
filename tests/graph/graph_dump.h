// Writes a graph's whole raster as a binary PPM when KVX_GRAPH_DUMP names a
// directory, so a person can look at a test's frame; does nothing otherwise.
#pragma once

#include <string_view>

#include "graph/waveform_graph.h"

namespace kvx::testing {

void DumpGraphIfRequested(const WaveformGraph& graph, std::string_view name);

}  // namespace kvx::testing
