// The off-screen waveform graph: a 562 x 177 raster in the main window's
// client coordinates, of which the plot rectangle (282, 17, 562, 177) is shown.
// The acquisition thread draws one completed frame at a time into it; the
// user-interface thread creates and clears it and copies the plot rectangle
// when it paints. One mutex serialises all use of the raster; the control
// queries and the invalidate callback run outside it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "acquisition/app_state.h"
#include "acquisition/control_model.h"
#include "acquisition/sinks.h"
#include "graph/raster.h"

namespace kvx {

class WaveformGraph final : public WaveformSink {
 public:
  static constexpr int WIDTH = 562, HEIGHT = 177;
  // Shown, copied, invalidated; whitened on creation and clearing.
  static constexpr Rect PLOT_RECT{282, 17, 562, 177};
  // Whitened before each frame unless the overlay box is checked.
  static constexpr Rect BACKGROUND_RECT{292, 17, 562, 177};
  static constexpr Rect FRAME_RECT{292, 27, 552, 167};
  static constexpr int ZERO_LINE_Y = 97;
  static constexpr std::uint32_t GRID_COLOUR = 0xC0C0C0;
  static constexpr std::uint32_t TRACE_COLOUR = 0xFF0000;  // pure red, 0x00RRGGBB
  // Gain used until a frame finds a Y-scale button checked: the start-up
  // default ("250mA/25W").
  static constexpr double INITIAL_Y_SCALE_FACTOR = 16.0;
  // Trace points are kept within +-Y_LIMIT before their conversion to int.
  static constexpr double Y_LIMIT = 1.0e6;

  WaveformGraph(ControlModel& controls, MeasurementState& measurement);

  WaveformGraph(const WaveformGraph&) = delete;
  WaveformGraph& operator=(const WaveformGraph&) = delete;

  // UI thread: creates the raster on the first call (plot rectangle white,
  // invalidated); every call resets waveMin/waveMax to 65535.0/0.0. An existing
  // picture is kept.
  void CreateGraphBitmap();
  // UI thread: whitens the plot rectangle and invalidates it, if the raster exists.
  void ClearGraphBitmap();
  // Acquisition thread: draws one frame and invalidates. Before the first
  // CreateGraphBitmap there is no raster and nothing is drawn.
  void DrawWaveform(const std::array<double, protocol::WAVEFORM_SAMPLES>& frame, double waveMin,
                    double waveMax) override;

  bool Exists() const;
  // The paint handler's copy: the pixels of (left, top, right, bottom) as
  // 0x00RRGGBB, row-major, under the graph lock. Empty while no raster exists
  // or for an empty rectangle; pixels outside the raster read as 0.
  std::vector<std::uint32_t> CopyRect(int left, int top, int right, int bottom) const;
  // The paint handler's copy into its image (see Raster::CopyInto), under the
  // graph lock; false, with nothing written, while no raster exists.
  bool CopyRectInto(const Rect& rect, std::uint32_t* dest, std::size_t destStride, std::uint32_t setBits) const;
  // 0x00RRGGBB; 0 while no raster exists or outside it.
  std::uint32_t Pixel(int x, int y) const;

  // Stands for InvalidateRect of PLOT_RECT without erasing. Called outside the
  // graph lock, on the thread that changed the picture, so it may copy the
  // picture itself; it should only post a repaint.
  void SetInvalidateCallback(std::function<void()> callback);

  // The y coordinate of one smoothed sample, clamped to +-Y_LIMIT and truncated
  // toward zero. A NaN (from a damaged range) lies on the zero line.
  static int TraceY(double sample, double waveMin, double half, double yScaleFactor);

 private:
  std::optional<double> QueryYScaleFactor() const;
  void DrawFrameLocked(const std::array<double, protocol::WAVEFORM_SAMPLES>& frame, double waveMin,
                       double waveMax, bool overlay);
  void Invalidate(const std::shared_ptr<const std::function<void()>>& callback) const;

  ControlModel& controls_;
  MeasurementState& measurement_;

  mutable std::mutex mutex_;
  std::optional<Raster> raster_;  // graphBitmap; created once, never released
  double yScaleFactor_ = INITIAL_Y_SCALE_FACTOR;
  std::shared_ptr<const std::function<void()>> invalidate_;
};

}  // namespace kvx
