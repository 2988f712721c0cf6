#include "graph/waveform_graph.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "acquisition/control_ids.h"

namespace kvx {

namespace {
constexpr int GRID_FIRST_Y = 27;
constexpr int GRID_STEP = 14;
constexpr int GRID_END_Y = 181;  // lines while y is below this: 27 to 167, eleven lines
constexpr int GRID_LEFT = 292;
constexpr int GRID_RIGHT = 552;
constexpr int TRACE_FIRST_X = 294;
constexpr int TRACE_STEP_X = 2;
}  // namespace

WaveformGraph::WaveformGraph(ControlModel& controls, MeasurementState& measurement)
    : controls_(controls), measurement_(measurement) {}

void WaveformGraph::CreateGraphBitmap() {
  std::shared_ptr<const std::function<void()>> callback;
  {
    std::lock_guard lock(mutex_);
    if (!raster_) {
      raster_.emplace(WIDTH, HEIGHT);
      raster_->FillRect(PLOT_RECT, RGB_WHITE);
      callback = invalidate_;
    }
  }
  measurement_.waveMin.store(65535.0);
  measurement_.waveMax.store(0.0);
  Invalidate(callback);
}

void WaveformGraph::ClearGraphBitmap() {
  std::shared_ptr<const std::function<void()>> callback;
  {
    std::lock_guard lock(mutex_);
    if (!raster_) return;
    raster_->FillRect(PLOT_RECT, RGB_WHITE);
    callback = invalidate_;
  }
  Invalidate(callback);
}

void WaveformGraph::DrawWaveform(const std::array<double, protocol::WAVEFORM_SAMPLES>& frame, double waveMin,
                                 double waveMax) {
  // The controls are asked before the graph lock is taken: the control model
  // has its own lock, and the UI thread must never wait for both in turn.
  const std::optional<double> chosenFactor = QueryYScaleFactor();
  const bool overlay = controls_.IsChecked(ids::OVERLAY_CHECK);
  std::shared_ptr<const std::function<void()>> callback;
  {
    std::lock_guard lock(mutex_);
    // The remembered gain follows the buttons even while there is nothing to
    // draw into: the raster is made only by CreateGraphBitmap.
    if (chosenFactor) yScaleFactor_ = *chosenFactor;
    if (!raster_) return;
    DrawFrameLocked(frame, waveMin, waveMax, overlay);
    callback = invalidate_;
  }
  Invalidate(callback);
}

bool WaveformGraph::Exists() const {
  std::lock_guard lock(mutex_);
  return raster_.has_value();
}

std::vector<std::uint32_t> WaveformGraph::CopyRect(int left, int top, int right, int bottom) const {
  std::lock_guard lock(mutex_);
  if (!raster_) return {};
  return raster_->Copy({left, top, right, bottom});
}

bool WaveformGraph::CopyRectInto(const Rect& rect, std::uint32_t* dest, std::size_t destStride,
                                 std::uint32_t setBits) const {
  std::lock_guard lock(mutex_);
  if (!raster_) return false;
  raster_->CopyInto(rect, dest, destStride, setBits);
  return true;
}

std::uint32_t WaveformGraph::Pixel(int x, int y) const {
  std::lock_guard lock(mutex_);
  return raster_ ? raster_->Pixel(x, y) : 0;
}

void WaveformGraph::SetInvalidateCallback(std::function<void()> callback) {
  auto shared = callback ? std::make_shared<const std::function<void()>>(std::move(callback)) : nullptr;
  std::lock_guard lock(mutex_);
  invalidate_ = std::move(shared);
}

int WaveformGraph::TraceY(double sample, double waveMin, double half, double yScaleFactor) {
  const double y = ZERO_LINE_Y - (sample - waveMin - half) * yScaleFactor * 2 * 160 / 65536;
  if (std::isnan(y)) return ZERO_LINE_Y;
  // Converting a double outside int's range is undefined behaviour, so the
  // point is kept within +-Y_LIMIT first. This changes no pixel of a segment
  // from a point inside the raster: 2 pixels wide and at least Y_LIMIT - 177
  // rows tall, it moves less than half a pixel sideways over the raster's
  // height, whether its far end is at Y_LIMIT or beyond.
  return static_cast<int>(std::clamp(y, -Y_LIMIT, Y_LIMIT));
}

std::optional<double> WaveformGraph::QueryYScaleFactor() const {
  // In the buttons' order; with several checked the later one wins, with none
  // the previous frame's factor stays.
  std::optional<double> factor;
  for (const ids::YScale& scale : ids::Y_SCALES) {
    if (controls_.IsChecked(scale.id)) factor = scale.factor;
  }
  return factor;
}

// The order matters: the grid and axes go over what the overlay kept, the new
// trace over the grid, and the frame over everything.
void WaveformGraph::DrawFrameLocked(const std::array<double, protocol::WAVEFORM_SAMPLES>& frame, double waveMin,
                                    double waveMax, bool overlay) {
  Raster& r = *raster_;
  const double half = (waveMax - waveMin) * 0.5;
  std::array<int, protocol::WAVEFORM_SAMPLES> ys{};
  for (std::size_t i = 0; i < frame.size(); ++i) ys[i] = TraceY(frame[i], waveMin, half, yScaleFactor_);

  if (!overlay) r.FillRect(BACKGROUND_RECT, RGB_WHITE);

  r.SetPenColour(GRID_COLOUR);
  for (int y = GRID_FIRST_Y; y < GRID_END_Y; y += GRID_STEP) {
    r.MoveTo(GRID_LEFT, y);
    r.LineTo(GRID_RIGHT, y);
  }

  r.SetPenColour(RGB_BLACK);
  r.MoveTo(GRID_LEFT, FRAME_RECT.top);
  r.LineTo(GRID_LEFT, FRAME_RECT.bottom);
  r.MoveTo(GRID_LEFT, ZERO_LINE_Y);
  r.LineTo(GRID_RIGHT, ZERO_LINE_Y);

  // Sample 0 is not drawn and the first LineTo has zero length: 127 points.
  r.SetPenColour(TRACE_COLOUR);
  r.MoveTo(TRACE_FIRST_X, ys[1]);
  for (std::size_t k = 1; k < ys.size(); ++k) {
    r.LineTo(TRACE_FIRST_X + TRACE_STEP_X * static_cast<int>(k - 1), ys[k]);
  }

  r.FrameRect(FRAME_RECT, RGB_BLACK);
}

void WaveformGraph::Invalidate(const std::shared_ptr<const std::function<void()>>& callback) const {
  if (callback) (*callback)();
}

}  // namespace kvx
