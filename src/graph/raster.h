// A small 32-bit raster with the drawing rules of a GDI device context: a
// current position with MoveTo/LineTo, 1-pixel lines without antialiasing
// that leave out their end pixel, solid fills and a 1-pixel frame
// drawn inside its rectangle. Everything is clipped to the raster. Not
// thread-safe: its owner serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvx {

// Left, top, right, bottom; right and bottom are exclusive.
struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

// Colours as 0x00RRGGBB.
inline constexpr std::uint32_t RGB_WHITE = 0xFFFFFF;
inline constexpr std::uint32_t RGB_BLACK = 0x000000;

class Raster {
 public:
  // Every pixel starts black, as a freshly created device-compatible bitmap.
  Raster(int width, int height);

  int Width() const { return width_; }
  int Height() const { return height_; }

  // 0 for a point outside the raster.
  std::uint32_t Pixel(int x, int y) const;

  // Row-major, top row first; pixels outside the raster read as 0. Empty for
  // an empty rectangle.
  std::vector<std::uint32_t> Copy(const Rect& rect) const;
  // The same pixels written straight into a caller's image: row r of the
  // rectangle goes to dest + r * destStride (in pixels), each pixel ORed with
  // `setBits` (0xFF000000 makes them opaque for a 32-bit image). One pass over
  // whole rows, so a paint copies the picture once.
  void CopyInto(const Rect& rect, std::uint32_t* dest, std::size_t destStride, std::uint32_t setBits = 0) const;

  // PatBlt: every pixel of the rectangle.
  void FillRect(const Rect& rect, std::uint32_t colour);

  // FrameRect with a 1-pixel brush: columns left and right - 1, rows top and
  // bottom - 1. Nothing for an empty rectangle.
  void FrameRect(const Rect& rect, std::uint32_t colour);

  // Coordinates given to MoveTo and LineTo are kept within +-COORD_LIMIT, so
  // that the exact integer arithmetic of a line cannot overflow.
  static constexpr int COORD_LIMIT = 1 << 28;

  void SetPenColour(std::uint32_t colour) { penColour_ = colour; }
  void MoveTo(int x, int y);
  // From the current position up to, not including, (x, y); then (x, y) is the
  // current position. A zero-length line draws nothing.
  void LineTo(int x, int y);

 private:
  void Plot(std::int64_t x, std::int64_t y);
  void DrawSegment(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1);

  int width_;
  int height_;
  std::vector<std::uint32_t> pixels_;
  std::uint32_t penColour_ = RGB_BLACK;
  int currentX_ = 0;
  int currentY_ = 0;
};

}  // namespace kvx
