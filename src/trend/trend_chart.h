// The history chart of one strip, drawn with QPainter on any paint device (a
// widget, an image, an SVG file): a title with the strip, the range and each
// outlet's energy where power was measured; one panel per quantity (current
// in mA, power in W) with its own axis, each outlet's minimum-maximum band and
// mean line in its colour; every gap as a shaded band with its cause, and no
// line across it. It asks the store for at most one bucket per pixel column,
// so a spike keeps its height at every zoom.
#pragma once

#include <QColor>
#include <QRect>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "acquisition/outlet_names.h"
#include "history/history_store.h"

class QPainter;

namespace kvx::trend {

// The outlets' colours, 1 to 4.
QColor OutletColour(int outlet);
// "１番" .. "４番".
QString OutletName(int outlet);
// A moment (Unix milliseconds) as local time in a strftime format.
QString LocalTimeText(std::int64_t ms, const char* format = "%Y-%m-%d %H:%M:%S");
// Makes the application's font one that has the chart's Japanese texts (the
// off-screen platform's default may not).
void UseChartFont();

// One outlet over the visible range: the lowest, the mean and the highest.
struct OutletFigures {
  bool any = false;
  double min = 0, mean = 0, max = 0;
};

class TrendChart {
 public:
  TrendChart(const history::HistoryStore& store, std::uint32_t serial) : store_(store), serial_(serial) {}

  std::uint32_t serial() const { return serial_; }
  // The outlets' names for the legend and the texts ("１番 Freezer"); none: "１番".
  void SetOutletNames(const OutletNames& names) { names_ = names; }
  QString Label(int outlet) const;
  void SetRange(std::int64_t fromMs, std::int64_t toMs);
  std::int64_t fromMs() const { return fromMs_; }
  std::int64_t toMs() const { return toMs_; }
  // The first and the end of what the store holds of the strip (0, 0: nothing).
  std::pair<std::int64_t, std::int64_t> Extent() const;

  // Draws the whole chart into `area` (laying it out first).
  void Paint(QPainter& painter, const QRect& area);
  // Reads the range's buckets, figures, gaps and energy for `area`.
  void Layout(const QRect& area);

  // After a Paint: the time under a pixel column (nullopt outside the plot),
  // what the cursor shows there, and the gap there, if any.
  std::optional<std::int64_t> TimeAt(int x) const;
  QString ReadoutAt(int x) const;
  std::optional<history::Gap> GapAt(int x) const;
  // The chart in words, for a screen reader: range, each quantity's outlets'
  // minimum, mean and maximum, the energy and the gaps.
  QString Describe() const;
  QString Title() const;
  QString EnergyLine() const;

 private:
  struct Panel {
    bool power = false;
    QRect plot;
    double low = 0, high = 1;
    std::array<history::Slice, 4> slices;
    std::array<OutletFigures, 4> figures;
  };
  void PaintPanel(QPainter& painter, const Panel& panel, bool timeLabels) const;
  void PaintSeries(QPainter& painter, const Panel& panel, int outlet) const;
  void PaintGaps(QPainter& painter) const;
  void PaintTimeAxis(QPainter& painter, const QRect& plot) const;
  void PaintHeader(QPainter& painter, const QRect& area) const;
  double X(const QRect& plot, std::int64_t ms) const;

  const history::HistoryStore& store_;
  const std::uint32_t serial_;
  std::int64_t fromMs_ = 0, toMs_ = 1;
  std::vector<Panel> panels_;
  std::vector<history::Gap> gaps_;
  history::RangeEnergy energy_;
  OutletNames names_;
};

}  // namespace kvx::trend
