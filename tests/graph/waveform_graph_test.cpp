#include "graph/waveform_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "acquisition/control_ids.h"
#include "graph_dump.h"

namespace kvx {
namespace {

using Frame = std::array<double, protocol::WAVEFORM_SAMPLES>;
constexpr std::uint32_t RED = WaveformGraph::TRACE_COLOUR;
constexpr std::uint32_t GREY = WaveformGraph::GRID_COLOUR;
constexpr std::uint32_t WHITE = RGB_WHITE;
constexpr std::uint32_t BLACK = RGB_BLACK;

Frame Flat(double value) {
  Frame f;
  f.fill(value);
  return f;
}

class WaveformGraphTest : public ::testing::Test {
 protected:
  WaveformGraphTest() {
    graph.SetInvalidateCallback([this] { ++invalidations; });
  }
  ~WaveformGraphTest() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    testing::DumpGraphIfRequested(graph, std::string(info->test_suite_name()) + "." + info->name());
  }

  void SelectScale(int id) {
    for (const ids::YScale& s : ids::Y_SCALES) controls.SetCheck(s.id, s.id == id);
  }

  std::set<int> RedRowsInColumn(int x) const {
    std::set<int> rows;
    for (int y = 0; y < WaveformGraph::HEIGHT; ++y) {
      if (graph.Pixel(x, y) == RED) rows.insert(y);
    }
    return rows;
  }

  std::pair<int, int> RedRowExtent() const {
    int top = WaveformGraph::HEIGHT, bottom = -1;
    for (int y = 0; y < WaveformGraph::HEIGHT; ++y) {
      for (int x = 0; x < WaveformGraph::WIDTH; ++x) {
        if (graph.Pixel(x, y) == RED) {
          top = std::min(top, y);
          bottom = std::max(bottom, y);
        }
      }
    }
    return {top, bottom};
  }

  int CountRed() const {
    const auto all = graph.CopyRect(0, 0, WaveformGraph::WIDTH, WaveformGraph::HEIGHT);
    return static_cast<int>(std::count(all.begin(), all.end(), RED));
  }

  ControlModel controls;
  MeasurementState measurement;
  WaveformGraph graph{controls, measurement};
  int invalidations = 0;
};

TEST_F(WaveformGraphTest, NothingExistsOrIsDrawnBeforeTheFirstCreate) {
  graph.ClearGraphBitmap();
  graph.DrawWaveform(Flat(1000.0), 1000.0, 1000.0);
  EXPECT_FALSE(graph.Exists());
  EXPECT_EQ(invalidations, 0);
  EXPECT_TRUE(graph.CopyRect(282, 17, 562, 177).empty());
  EXPECT_EQ(graph.Pixel(300, 97), 0u);
}

TEST_F(WaveformGraphTest, CreateWhitensOnceAndResetsTheRangeEveryTime) {
  measurement.waveMin.store(12.0);
  measurement.waveMax.store(34.0);
  graph.CreateGraphBitmap();
  EXPECT_TRUE(graph.Exists());
  EXPECT_EQ(invalidations, 1);
  EXPECT_EQ(measurement.waveMin.load(), 65535.0);
  EXPECT_EQ(measurement.waveMax.load(), 0.0);
  const auto plot = graph.CopyRect(282, 17, 562, 177);
  EXPECT_EQ(plot.size(), 280u * 160u);
  EXPECT_TRUE(std::all_of(plot.begin(), plot.end(), [](std::uint32_t p) { return p == WHITE; }));
  EXPECT_EQ(graph.Pixel(281, 100), BLACK);  // outside the plot rectangle: never whitened
  EXPECT_EQ(graph.Pixel(300, 16), BLACK);

  // A second create keeps the picture and does not invalidate.
  graph.DrawWaveform(Flat(1000.0), 1000.0, 1000.0);
  EXPECT_EQ(invalidations, 2);
  measurement.waveMin.store(1.0);
  measurement.waveMax.store(2.0);
  graph.CreateGraphBitmap();
  EXPECT_EQ(invalidations, 2);
  EXPECT_EQ(graph.Pixel(300, 97), RED);
  EXPECT_EQ(measurement.waveMin.load(), 65535.0);
  EXPECT_EQ(measurement.waveMax.load(), 0.0);

  // Clearing whitens the whole plot rectangle and invalidates.
  graph.ClearGraphBitmap();
  EXPECT_EQ(invalidations, 3);
  const auto cleared = graph.CopyRect(282, 17, 562, 177);
  EXPECT_TRUE(std::all_of(cleared.begin(), cleared.end(), [](std::uint32_t p) { return p == WHITE; }));
}

TEST_F(WaveformGraphTest, FlatFrameLiesOnTheZeroLineAndLeavesOutItsLastPoint) {
  SelectScale(ids::DEFAULT_Y_SCALE);
  graph.CreateGraphBitmap();
  graph.DrawWaveform(Flat(31234.5), 31234.5, 31234.5);
  for (int x = 294; x <= 545; ++x) EXPECT_EQ(graph.Pixel(x, 97), RED) << x;
  EXPECT_EQ(graph.Pixel(293, 97), BLACK);  // zero line before the first point
  EXPECT_EQ(graph.Pixel(546, 97), BLACK);  // the last point is the excluded end pixel
  EXPECT_EQ(CountRed(), 546 - 294);
}

TEST_F(WaveformGraphTest, GridAxesFrameAndBackgroundHaveTheirColoursAndPlaces) {
  graph.CreateGraphBitmap();
  graph.DrawWaveform(Flat(500.0), 500.0, 500.0);

  std::set<int> greyRows;
  for (int y = 0; y < WaveformGraph::HEIGHT; ++y) {
    if (graph.Pixel(400, y) == GREY) greyRows.insert(y);
  }
  // Row 27 lies under the frame's top edge and row 97 under the zero line.
  EXPECT_EQ(greyRows, (std::set<int>{41, 55, 69, 83, 111, 125, 139, 153, 167}));
  for (int x = 292; x <= 551; ++x) EXPECT_EQ(graph.Pixel(x, 167), GREY) << x;  // below the frame
  EXPECT_EQ(graph.Pixel(552, 167), WHITE);
  EXPECT_EQ(graph.Pixel(293, 41), GREY);
  EXPECT_EQ(graph.Pixel(550, 41), GREY);

  // Vertical axis x = 292 over y 27..166; the frame's left edge is the same column.
  for (int y = 27; y <= 166; ++y) EXPECT_EQ(graph.Pixel(292, y), BLACK) << y;
  EXPECT_EQ(graph.Pixel(292, 26), WHITE);
  // Zero line from 292 to 551 (black where the trace is not).
  EXPECT_EQ(graph.Pixel(292, 97), BLACK);
  EXPECT_EQ(graph.Pixel(551, 97), BLACK);
  EXPECT_EQ(graph.Pixel(552, 97), WHITE);

  // Frame (292, 27, 552, 167) drawn inside: rows 27 and 166, columns 292 and 551.
  for (int x = 292; x <= 551; ++x) {
    EXPECT_EQ(graph.Pixel(x, 27), BLACK) << x;
    EXPECT_EQ(graph.Pixel(x, 166), BLACK) << x;
  }
  for (int y = 27; y <= 166; ++y) EXPECT_EQ(graph.Pixel(551, y), BLACK) << y;
  EXPECT_EQ(graph.Pixel(552, 27), WHITE);

  // Background: white inside the plot rectangle elsewhere, including 282..291.
  EXPECT_EQ(graph.Pixel(400, 60), WHITE);
  EXPECT_EQ(graph.Pixel(282, 17), WHITE);
  EXPECT_EQ(graph.Pixel(291, 176), WHITE);
  EXPECT_EQ(graph.Pixel(561, 176), WHITE);
  EXPECT_EQ(graph.Pixel(400, 20), WHITE);
}

// Alternating extremes of half-swing h around a centre: the top points lie at
// trunc(97 - d) and the bottom ones at trunc(97 + d), d = h * factor * 320 / 65536.
TEST_F(WaveformGraphTest, EachScaleButtonGivesItsGain) {
  struct Case {
    int id;
    double halfSwing;
    int top;
    int bottom;
  };
  const Case cases[] = {{6012, 10, 57, 136},  {6014, 30, 38, 155},    {6015, 200, 18, 175},
                        {6016, 700, 42, 151}, {6017, 3000, 38, 155}, {6018, 10000, 48, 145}};
  graph.CreateGraphBitmap();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    SelectScale(c.id);
    Frame f;
    for (std::size_t k = 0; k < f.size(); ++k) f[k] = 30000.0 + (k % 2 == 1 ? c.halfSwing : -c.halfSwing);
    graph.DrawWaveform(f, 30000.0 - c.halfSwing, 30000.0 + c.halfSwing);
    EXPECT_EQ(RedRowExtent(), std::make_pair(c.top, c.bottom));
    EXPECT_EQ(graph.Pixel(294, c.top), RED);     // sample 1 is a top point
    EXPECT_EQ(graph.Pixel(296, c.bottom), RED);  // sample 2 a bottom one
  }
}

TEST_F(WaveformGraphTest, LaterCheckedButtonWinsAndNoneKeepsThePreviousGain) {
  Frame f;
  for (std::size_t k = 0; k < f.size(); ++k) f[k] = 1000.0 + (k % 2 == 1 ? 700.0 : -700.0);
  graph.CreateGraphBitmap();

  // No button checked before any frame: the start-up gain 16.
  graph.DrawWaveform(f, 300.0, 1700.0);
  EXPECT_EQ(RedRowExtent(), std::make_pair(42, 151));

  // 6014 (400) and 6017 (4) both checked: 6017 is asked later and wins.
  controls.SetCheck(6014, true);
  controls.SetCheck(6017, true);
  Frame g;
  for (std::size_t k = 0; k < g.size(); ++k) g[k] = 5000.0 + (k % 2 == 1 ? 3000.0 : -3000.0);
  graph.DrawWaveform(g, 2000.0, 8000.0);
  EXPECT_EQ(RedRowExtent(), std::make_pair(38, 155));

  // All unchecked again: the gain of the previous frame (4) stays.
  SelectScale(0);
  graph.DrawWaveform(g, 2000.0, 8000.0);
  EXPECT_EQ(RedRowExtent(), std::make_pair(38, 155));
}

TEST_F(WaveformGraphTest, TruncatesTowardZeroAndClampsBeforeConverting) {
  // d = 1248 * 16 * 320 / 65536 = 97.5: y = -0.5 truncates to 0, not -1.
  EXPECT_EQ(WaveformGraph::TraceY(1248.0, 0.0, 0.0, 16.0), 0);
  EXPECT_EQ(WaveformGraph::TraceY(-1248.0, 0.0, 0.0, 16.0), 194);
  EXPECT_EQ(WaveformGraph::TraceY(10.0, 0.0, 0.0, 16.0), 96);  // 96.21875
  EXPECT_EQ(WaveformGraph::TraceY(1e300, 0.0, 0.0, 800.0), -1000000);
  EXPECT_EQ(WaveformGraph::TraceY(-1e300, 0.0, 0.0, 800.0), 1000000);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(WaveformGraph::TraceY(inf, 0.0, 0.0, 1.0), -1000000);
  EXPECT_EQ(WaveformGraph::TraceY(nan, 0.0, 0.0, 1.0), 97);
  EXPECT_EQ(WaveformGraph::TraceY(5.0, -inf, inf, 1.0), 97);  // inf - inf
}

TEST_F(WaveformGraphTest, HugeSamplesAreClippedToSteepLinesAtTheirColumns) {
  SelectScale(6012);
  graph.CreateGraphBitmap();
  Frame f = Flat(5000.0);
  f[60] = 1e300;   // point x = 294 + 2 * 59 = 412, far above the raster
  f[90] = -1e300;  // point x = 472, far below
  graph.DrawWaveform(f, 5000.0, 5000.0);
  // Up from (410, 97) and back down to (414, 97): two columns, nothing between.
  for (int y = 0; y <= 96; ++y) {
    if (y == 27) continue;  // under the frame's top edge
    EXPECT_EQ(graph.Pixel(410, y), RED) << y;
    EXPECT_EQ(graph.Pixel(414, y), RED) << y;
    EXPECT_NE(graph.Pixel(412, y), RED) << y;
  }
  for (int y = 98; y < WaveformGraph::HEIGHT; ++y) {
    if (y == 166) continue;  // under the frame's bottom edge
    EXPECT_EQ(graph.Pixel(470, y), RED) << y;
    EXPECT_EQ(graph.Pixel(474, y), RED) << y;
    EXPECT_NE(graph.Pixel(472, y), RED) << y;
  }

  // Infinite and NaN samples and ranges draw something bounded and do not crash.
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Frame g = Flat(nan);
  g[10] = inf;
  g[11] = -inf;
  graph.DrawWaveform(g, -inf, inf);
  graph.DrawWaveform(Flat(1e308), -1e308, 1e308);
  graph.DrawWaveform(Flat(1.0), nan, nan);
  EXPECT_EQ(graph.Pixel(300, 97), RED);
  EXPECT_EQ(graph.Pixel(292, 27), BLACK);
}

TEST_F(WaveformGraphTest, SampleZeroIsNotDrawn) {
  graph.CreateGraphBitmap();
  Frame f = Flat(5000.0);
  f[0] = 5100.0;  // an outlier that would lie at y = 93
  // Range 5000..5100: half 50, samples 1..127 at 97 + 3.90625 = 100.9 -> 100.
  graph.DrawWaveform(f, 5000.0, 5100.0);
  EXPECT_EQ(RedRowExtent(), std::make_pair(100, 100));
  EXPECT_EQ(CountRed(), 546 - 294);
  EXPECT_EQ(graph.Pixel(294, 100), RED);
  EXPECT_EQ(graph.Pixel(546, 100), WHITE);
}

// Frame A: samples 1..64 on grid row 83, 65..127 on row 147; frame B: all on row 47.
// With gain 16 and range 10000..11280 a count is 0.078125 px.
class OverlayTest : public WaveformGraphTest {
 protected:
  OverlayTest() {
    SelectScale(6016);
    frameA.fill(10000.0);
    for (std::size_t k = 0; k <= 64; ++k) frameA[k] = 10819.0;  // 97 - 179 * 0.078125 = 83.02
    frameB.fill(11280.0);                                       // 97 - 640 * 0.078125 = 47
    graph.CreateGraphBitmap();
  }
  void Draw(const Frame& f) { graph.DrawWaveform(f, 10000.0, 11280.0); }
  Frame frameA{};
  Frame frameB{};
};

TEST_F(OverlayTest, OverlayKeepsEarlierTracesUnderARedrawnGrid) {
  Draw(frameA);
  EXPECT_EQ(graph.Pixel(300, 83), RED);
  EXPECT_EQ(graph.Pixel(450, 147), RED);
  // The step from (420, 83) to (422, 147) crosses the zero line at x 420.
  EXPECT_EQ(graph.Pixel(420, 97), RED);
  EXPECT_EQ(graph.Pixel(421, 120), RED);

  controls.SetCheck(ids::OVERLAY_CHECK, true);
  Draw(frameB);
  EXPECT_EQ(graph.Pixel(300, 47), RED);    // the new trace
  EXPECT_EQ(graph.Pixel(450, 147), RED);   // the old trace stays
  EXPECT_EQ(graph.Pixel(421, 120), RED);
  EXPECT_EQ(graph.Pixel(300, 83), GREY);   // grid redrawn over it
  EXPECT_EQ(graph.Pixel(420, 97), BLACK);  // zero line redrawn over it
}

TEST_F(OverlayTest, NextFrameWithoutOverlayClearsOnlyTheBackgroundArea) {
  controls.SetCheck(ids::OVERLAY_CHECK, true);
  Draw(frameA);
  Draw(frameB);
  // A spike far above (point 100 at x 492) leaves red in rows 0..16, which are
  // not part of the plot: the steep line up from (490, 47) stays in column 490.
  Frame spike = frameB;
  spike[100] = 1e9;
  Draw(spike);
  ASSERT_EQ(graph.Pixel(490, 5), RED);

  controls.SetCheck(ids::OVERLAY_CHECK, false);
  Draw(frameB);
  EXPECT_EQ(graph.Pixel(450, 147), WHITE);
  EXPECT_EQ(graph.Pixel(421, 120), WHITE);
  EXPECT_EQ(graph.Pixel(490, 20), WHITE);
  EXPECT_EQ(graph.Pixel(490, 5), RED);  // above the whitened area
  // The band 282..291 is left as creation whitened it, 281 as black as ever.
  for (int y = 17; y < 177; ++y) {
    EXPECT_EQ(graph.Pixel(291, y), WHITE) << y;
    EXPECT_EQ(graph.Pixel(281, y), BLACK) << y;
  }
  // Everything in the background area is now this frame's picture only.
  for (int y = 17; y < 177; ++y) {
    for (int x = 292; x < 562; ++x) {
      if (graph.Pixel(x, y) == RED) {
        EXPECT_EQ(y, 47) << x;
      }
    }
  }
}

TEST_F(WaveformGraphTest, CopyRectMatchesPixelsAndInvalidationMayCopy) {
  std::vector<std::uint32_t> copiedInCallback;
  graph.SetInvalidateCallback([&] { copiedInCallback = graph.CopyRect(282, 17, 562, 177); });
  graph.CreateGraphBitmap();
  Frame f;
  for (std::size_t k = 0; k < f.size(); ++k) f[k] = 2000.0 + 900.0 * std::sin(static_cast<double>(k) * 0.1);
  graph.DrawWaveform(f, 1100.0, 2900.0);

  const auto copy = graph.CopyRect(282, 17, 562, 177);
  ASSERT_EQ(copy.size(), 280u * 160u);
  for (int y = 17; y < 177; ++y) {
    for (int x = 282; x < 562; ++x) ASSERT_EQ(copy[static_cast<std::size_t>((y - 17) * 280 + (x - 282))], graph.Pixel(x, y));
  }
  EXPECT_EQ(copiedInCallback, copy);  // the callback ran outside the lock, after drawing
  EXPECT_EQ(graph.CopyRect(560, 175, 564, 178), (std::vector<std::uint32_t>{WHITE, WHITE, 0, 0, WHITE, WHITE, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(graph.CopyRect(300, 50, 300, 60).empty());
}

}  // namespace
}  // namespace kvx
