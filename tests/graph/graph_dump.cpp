#include "graph_dump.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kvx::testing {

void DumpGraphIfRequested(const WaveformGraph& graph, std::string_view name) {
  const char* dir = std::getenv("KVX_GRAPH_DUMP");
  if (dir == nullptr || *dir == '\0') return;
  const std::vector<std::uint32_t> pixels = graph.CopyRect(0, 0, WaveformGraph::WIDTH, WaveformGraph::HEIGHT);
  if (pixels.empty()) return;
  const std::string path = std::string(dir) + "/" + std::string(name) + ".ppm";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fprintf(file, "P6\n%d %d\n255\n", WaveformGraph::WIDTH, WaveformGraph::HEIGHT);
  std::vector<unsigned char> bytes;
  bytes.reserve(pixels.size() * 3);
  for (const std::uint32_t p : pixels) {
    bytes.push_back(static_cast<unsigned char>(p >> 16));
    bytes.push_back(static_cast<unsigned char>(p >> 8));
    bytes.push_back(static_cast<unsigned char>(p));
  }
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

}  // namespace kvx::testing
