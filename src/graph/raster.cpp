#include "graph/raster.h"

#include <algorithm>
#include <cstdlib>

namespace kvx {

namespace {

// Floor of a / b for b > 0.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// The integer nearest to num / den (den > 0); an exact half goes to the
// smaller integer. This is the tie rule of every line: where the ideal line
// passes exactly midway between two pixels, the one with the smaller
// coordinate (left, or up on screen) is lit. Being a property of the line and
// not of its direction, a segment lights the same pixels whichever end it is
// drawn from (apart from the excluded end pixel).
std::int64_t NearestTiesDown(std::int64_t num, std::int64_t den) {
  return -FloorDiv(den - 2 * num, 2 * den);
}

// The steps i in [0, steps) for which start + i * dir lies in [0, limit).
struct StepRange {
  std::int64_t first;
  std::int64_t last;  // exclusive
};
StepRange VisibleSteps(std::int64_t start, std::int64_t dir, std::int64_t steps, std::int64_t limit) {
  std::int64_t first = 0;
  std::int64_t last = steps;
  if (dir > 0) {
    first = std::max<std::int64_t>(first, -start);
    last = std::min<std::int64_t>(last, limit - start);
  } else {
    first = std::max<std::int64_t>(first, start - limit + 1);
    last = std::min<std::int64_t>(last, start + 1);
  }
  return {first, std::max(first, last)};
}

}  // namespace

Raster::Raster(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      pixels_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), RGB_BLACK) {}

std::uint32_t Raster::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
}

std::vector<std::uint32_t> Raster::Copy(const Rect& rect) const {
  if (rect.right <= rect.left || rect.bottom <= rect.top) return {};
  const auto width = static_cast<std::size_t>(rect.right - rect.left);
  std::vector<std::uint32_t> out(width * static_cast<std::size_t>(rect.bottom - rect.top));
  CopyInto(rect, out.data(), width);
  return out;
}

void Raster::CopyInto(const Rect& rect, std::uint32_t* dest, std::size_t destStride, std::uint32_t setBits) const {
  if (rect.right <= rect.left || rect.bottom <= rect.top) return;
  const auto width = static_cast<std::size_t>(rect.right - rect.left);
  // The part of each row that lies in the raster; the rest reads as 0.
  const int left = std::clamp(rect.left, 0, width_);
  const int right = std::clamp(rect.right, 0, width_);
  const auto before = static_cast<std::size_t>(left - rect.left);
  const auto inside = static_cast<std::size_t>(std::max(right - left, 0));
  for (int y = rect.top; y < rect.bottom; ++y, dest += destStride) {
    if (y < 0 || y >= height_ || inside == 0) {
      std::fill(dest, dest + width, setBits);
      continue;
    }
    const std::uint32_t* row = pixels_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
    std::fill(dest, dest + before, setBits);
    std::transform(row + left, row + right, dest + before, [setBits](std::uint32_t p) { return p | setBits; });
    std::fill(dest + before + inside, dest + width, setBits);
  }
}

void Raster::FillRect(const Rect& rect, std::uint32_t colour) {
  const int left = std::max(rect.left, 0);
  const int top = std::max(rect.top, 0);
  const int right = std::min(rect.right, width_);
  const int bottom = std::min(rect.bottom, height_);
  for (int y = top; y < bottom; ++y) {
    const auto row = pixels_.begin() + static_cast<std::ptrdiff_t>(y) * width_;
    std::fill(row + left, row + std::max(left, right), colour);
  }
}

void Raster::FrameRect(const Rect& rect, std::uint32_t colour) {
  if (rect.right <= rect.left || rect.bottom <= rect.top) return;
  FillRect({rect.left, rect.top, rect.right, rect.top + 1}, colour);
  FillRect({rect.left, rect.bottom - 1, rect.right, rect.bottom}, colour);
  FillRect({rect.left, rect.top, rect.left + 1, rect.bottom}, colour);
  FillRect({rect.right - 1, rect.top, rect.right, rect.bottom}, colour);
}

void Raster::MoveTo(int x, int y) {
  currentX_ = std::clamp(x, -COORD_LIMIT, COORD_LIMIT);
  currentY_ = std::clamp(y, -COORD_LIMIT, COORD_LIMIT);
}

void Raster::LineTo(int x, int y) {
  const int endX = std::clamp(x, -COORD_LIMIT, COORD_LIMIT);
  const int endY = std::clamp(y, -COORD_LIMIT, COORD_LIMIT);
  DrawSegment(currentX_, currentY_, endX, endY);
  currentX_ = endX;
  currentY_ = endY;
}

void Raster::Plot(std::int64_t x, std::int64_t y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  pixels_[static_cast<std::size_t>(y * width_ + x)] = penColour_;
}

// One pixel per step along the major axis (the longer of the two extents),
// the minor coordinate being the nearest to the ideal line: Bresenham's
// pixels, computed directly per step so that clipping to the raster can skip
// the invisible steps of a very long segment without changing any pixel.
void Raster::DrawSegment(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1) {
  const std::int64_t dx = x1 - x0;
  const std::int64_t dy = y1 - y0;
  const std::int64_t adx = std::abs(dx);
  const std::int64_t ady = std::abs(dy);
  if (adx == 0 && ady == 0) return;
  if (adx >= ady) {
    const std::int64_t sx = dx > 0 ? 1 : -1;
    const StepRange steps = VisibleSteps(x0, sx, adx, width_);
    for (std::int64_t i = steps.first; i < steps.last; ++i) Plot(x0 + i * sx, y0 + NearestTiesDown(i * dy, adx));
  } else {
    const std::int64_t sy = dy > 0 ? 1 : -1;
    const StepRange steps = VisibleSteps(y0, sy, ady, height_);
    for (std::int64_t i = steps.first; i < steps.last; ++i) Plot(x0 + NearestTiesDown(i * dx, ady), y0 + i * sy);
  }
}

}  // namespace kvx
