#include "graph/raster.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <set>
#include <utility>

namespace kvx {
namespace {

constexpr std::uint32_t PEN = 0x123456;
using Points = std::set<std::pair<int, int>>;

Points LitPixels(const Raster& r) {
  Points lit;
  for (int y = 0; y < r.Height(); ++y) {
    for (int x = 0; x < r.Width(); ++x) {
      if (r.Pixel(x, y) == PEN) lit.insert({x, y});
    }
  }
  return lit;
}

Points DrawOne(int x0, int y0, int x1, int y1, int width = 40, int height = 40) {
  Raster r(width, height);
  r.SetPenColour(PEN);
  r.MoveTo(x0, y0);
  r.LineTo(x1, y1);
  return LitPixels(r);
}

// An independent statement of the rule: one pixel per step of the longer
// extent, end excluded, minor coordinate nearest the ideal line, exact halves
// to the smaller coordinate.
Points Reference(int x0, int y0, int x1, int y1) {
  Points lit;
  const int dx = x1 - x0, dy = y1 - y0;
  const int steps = std::max(std::abs(dx), std::abs(dy));
  for (int i = 0; i < steps; ++i) {
    const double mx = static_cast<double>(i * dx) / steps;  // exact at the halves
    const double my = static_cast<double>(i * dy) / steps;
    lit.insert({x0 + static_cast<int>(std::ceil(mx - 0.5)), y0 + static_cast<int>(std::ceil(my - 0.5))});
  }
  return lit;
}

TEST(RasterLineTest, EndPixelIsExcludedAndZeroLengthDrawsNothing) {
  EXPECT_EQ(DrawOne(10, 5, 15, 5), (Points{{10, 5}, {11, 5}, {12, 5}, {13, 5}, {14, 5}}));
  EXPECT_EQ(DrawOne(3, 9, 3, 6), (Points{{3, 9}, {3, 8}, {3, 7}}));
  EXPECT_TRUE(DrawOne(7, 7, 7, 7).empty());
  EXPECT_EQ(DrawOne(0, 0, 1, 1), (Points{{0, 0}}));

  // The end becomes the current position, so a polyline lights each joint once.
  Raster r(20, 20);
  r.SetPenColour(PEN);
  r.MoveTo(2, 2);
  r.LineTo(2, 2);
  EXPECT_TRUE(LitPixels(r).empty());
  r.LineTo(5, 2);
  r.LineTo(5, 4);
  EXPECT_EQ(LitPixels(r), (Points{{2, 2}, {3, 2}, {4, 2}, {5, 2}, {5, 3}}));
}

TEST(RasterLineTest, TiesGoToTheSmallerCoordinateWhicheverWayTheLineRuns) {
  EXPECT_EQ(DrawOne(0, 0, 2, 1), (Points{{0, 0}, {1, 0}}));
  EXPECT_EQ(DrawOne(2, 1, 0, 0), (Points{{2, 1}, {1, 0}}));
  EXPECT_EQ(DrawOne(0, 0, 1, 2), (Points{{0, 0}, {0, 1}}));
  EXPECT_EQ(DrawOne(1, 2, 0, 0), (Points{{1, 2}, {0, 1}}));
  // The trace's typical step: 2 across, 4 down.
  EXPECT_EQ(DrawOne(10, 10, 12, 14), (Points{{10, 10}, {10, 11}, {11, 12}, {11, 13}}));
}

TEST(RasterLineTest, EverySmallSegmentMatchesTheNearestPixelRule) {
  for (int x1 = 0; x1 <= 16; ++x1) {
    for (int y1 = 0; y1 <= 16; ++y1) {
      SCOPED_TRACE(::testing::Message() << "(8,8)->(" << x1 << "," << y1 << ")");
      const Points lit = DrawOne(8, 8, x1, y1, 17, 17);
      EXPECT_EQ(lit, Reference(8, 8, x1, y1));
      EXPECT_EQ(lit.size(), static_cast<std::size_t>(std::max(std::abs(x1 - 8), std::abs(y1 - 8))));
    }
  }
}

TEST(RasterLineTest, ClippingKeepsTheVisiblePixelsOfLongLines) {
  // Each line drawn whole in a large raster and clipped in a 20 x 10 one: the
  // small raster shows exactly the large one's window at (1050, 1000).
  const std::pair<std::pair<int, int>, std::pair<int, int>> lines[] = {
      {{-1000, -3}, {1000, 12}}, {{1015, -9}, {-1000, 8}}, {{3, -900}, {17, 1100}}, {{5, 5}, {5, -990}}};
  for (const auto& [from, to] : lines) {
    Raster big(2101, 2101);
    big.SetPenColour(PEN);
    big.MoveTo(from.first + 1050, from.second + 1000);
    big.LineTo(to.first + 1050, to.second + 1000);
    Raster small(20, 10);
    small.SetPenColour(PEN);
    small.MoveTo(from.first, from.second);
    small.LineTo(to.first, to.second);
    for (int y = 0; y < 10; ++y) {
      for (int x = 0; x < 20; ++x) EXPECT_EQ(small.Pixel(x, y), big.Pixel(x + 1050, y + 1000)) << x << "," << y;
    }
  }
}

TEST(RasterLineTest, ExtremeCoordinatesNeitherCrashNorWrap) {
  Raster r(30, 30);
  r.SetPenColour(PEN);
  r.MoveTo(INT_MIN, 15);
  r.LineTo(INT_MAX, 15);
  for (int x = 0; x < 30; ++x) EXPECT_EQ(r.Pixel(x, 15), PEN);
  r.MoveTo(INT_MAX, INT_MAX);
  r.LineTo(INT_MIN, INT_MIN);
  r.LineTo(INT_MIN, INT_MAX);
  EXPECT_EQ(r.Pixel(0, 0), PEN);  // the clamped diagonal passes through the raster
  EXPECT_EQ(LitPixels(r).size(), 30u + 29u);
}

TEST(RasterFillTest, FillAndFrameStayInsideTheirRectangles) {
  Raster r(10, 8);
  EXPECT_EQ(r.Pixel(0, 0), RGB_BLACK);
  r.FillRect({-5, -5, 3, 2}, PEN);
  EXPECT_EQ(r.Pixel(2, 1), PEN);
  EXPECT_EQ(r.Pixel(3, 1), RGB_BLACK);
  EXPECT_EQ(r.Pixel(2, 2), RGB_BLACK);
  r.FillRect({8, 6, 50, 50}, PEN);
  EXPECT_EQ(r.Pixel(9, 7), PEN);
  r.FillRect({5, 5, 5, 9}, RGB_WHITE);  // empty
  EXPECT_EQ(r.Pixel(5, 5), RGB_BLACK);

  Raster f(10, 8);
  f.FrameRect({2, 1, 6, 5}, PEN);
  Points expected;
  for (int x = 2; x < 6; ++x) expected.insert({{x, 1}, {x, 4}});
  for (int y = 1; y < 5; ++y) expected.insert({{2, y}, {5, y}});
  EXPECT_EQ(LitPixels(f), expected);
  f.FrameRect({7, 7, 7, 9}, PEN);
  EXPECT_EQ(LitPixels(f), expected);
}

TEST(RasterFillTest, CopyIsRowMajorAndReadsZeroOutside) {
  Raster r(4, 3);
  r.FillRect({1, 1, 2, 2}, PEN);
  EXPECT_EQ(r.Copy({0, 0, 3, 2}), (std::vector<std::uint32_t>{0, 0, 0, 0, PEN, 0}));
  r.FillRect({0, 0, 4, 3}, RGB_WHITE);
  EXPECT_EQ(r.Copy({3, 2, 5, 3}), (std::vector<std::uint32_t>{RGB_WHITE, 0}));
  EXPECT_TRUE(r.Copy({2, 2, 2, 3}).empty());
  EXPECT_EQ(r.Pixel(-1, 0), 0u);
  EXPECT_EQ(r.Pixel(4, 0), 0u);
}

// The paint copies straight into an image whose rows are wider than the
// rectangle: every pixel lands where Pixel() says, made opaque, the row padding
// is left alone, and what lies outside the raster reads as the set bits only.
TEST(RasterFillTest, CopyIntoWritesRowsAtTheStrideAndClipsLikePixel) {
  Raster r(5, 4);
  r.FillRect({0, 0, 5, 4}, RGB_WHITE);
  r.SetPenColour(PEN);
  r.MoveTo(0, 0);
  r.LineTo(5, 4);
  constexpr std::uint32_t OPAQUE = 0xFF000000u;
  constexpr std::uint32_t PADDING = 0xDEADBEEFu;
  for (const Rect rect : {Rect{0, 0, 5, 4}, Rect{1, 1, 4, 3}, Rect{-2, -1, 3, 2}, Rect{3, 2, 7, 6}, Rect{6, 0, 8, 2}}) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const std::size_t stride = static_cast<std::size_t>(width) + 3;
    std::vector<std::uint32_t> image(stride * static_cast<std::size_t>(height), PADDING);
    r.CopyInto(rect, image.data(), stride, OPAQUE);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < static_cast<int>(stride); ++x) {
        const std::uint32_t got = image[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)];
        const std::uint32_t want = x < width ? (OPAQUE | r.Pixel(rect.left + x, rect.top + y)) : PADDING;
        EXPECT_EQ(got, want) << rect.left << "," << rect.top << " at " << x << "," << y;
      }
    }
  }
}

}  // namespace
}  // namespace kvx
