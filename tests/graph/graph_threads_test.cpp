// The acquisition thread draws while the user-interface thread creates,
// clears and copies: every copy must be a whole picture, never one half drawn,
// and ThreadSanitizer must find no race.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "acquisition/control_ids.h"
#include "graph/waveform_graph.h"

namespace kvx {
namespace {

constexpr int FRAMES = 300;
constexpr int UI_ROUNDS = 300;

// White plot (just created or cleared), or a complete frame: the frame's
// corners are drawn last, after the background and the grid.
bool IsWholePicture(const std::vector<std::uint32_t>& plot) {
  if (plot.size() != 280u * 160u) return false;
  const auto at = [&](int x, int y) { return plot[static_cast<std::size_t>((y - 17) * 280 + (x - 282))]; };
  if (std::all_of(plot.begin(), plot.end(), [](std::uint32_t p) { return p == RGB_WHITE; })) return true;
  return at(292, 27) == RGB_BLACK && at(551, 166) == RGB_BLACK && at(551, 27) == RGB_BLACK;
}

TEST(WaveformGraphThreadsTest, DrawingOnOneThreadWhileTheOtherCreatesClearsAndCopies) {
  ControlModel controls;
  MeasurementState measurement;
  WaveformGraph graph(controls, measurement);
  std::atomic<int> invalidations{0};
  graph.SetInvalidateCallback([&] { invalidations.fetch_add(1); });
  graph.CreateGraphBitmap();
  ASSERT_EQ(invalidations.load(), 1);

  std::thread acquisition([&] {
    std::array<double, protocol::WAVEFORM_SAMPLES> frame{};
    for (int n = 0; n < FRAMES; ++n) {
      for (std::size_t k = 0; k < frame.size(); ++k) {
        frame[k] = 30000.0 + 4000.0 * std::sin(0.05 * static_cast<double>(k + static_cast<std::size_t>(n)));
      }
      graph.DrawWaveform(frame, 26000.0, 34000.0);
    }
  });

  int wholeCopies = 0;
  for (int n = 0; n < UI_ROUNDS; ++n) {
    controls.SetCheck(ids::Y_SCALES[static_cast<std::size_t>(n) % ids::Y_SCALES.size()].id, n % 2 == 0);
    if (n % 10 == 0) graph.ClearGraphBitmap();
    if (n % 25 == 0) graph.CreateGraphBitmap();
    if (IsWholePicture(graph.CopyRect(282, 17, 562, 177))) ++wholeCopies;
    (void)graph.Pixel(300, 97);
    (void)measurement.waveMin.load();
  }
  acquisition.join();

  EXPECT_EQ(wholeCopies, UI_ROUNDS);
  // Only the first create invalidates; every clear and every frame does.
  EXPECT_EQ(invalidations.load(), 1 + UI_ROUNDS / 10 + FRAMES);
  EXPECT_TRUE(graph.Exists());
}

}  // namespace
}  // namespace kvx
