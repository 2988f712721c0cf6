#include "trend/trend_chart.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPolygonF>
#include <algorithm>
#include <cmath>
#include <ctime>

#include "history/journal_causes.h"

namespace kvx::trend {

namespace {

constexpr int kLeftMargin = 64;
constexpr int kRightMargin = 12;
constexpr int kTimeAxisHeight = 22;
constexpr int kPanelSpacing = 10;
const QColor kGapShade(120, 120, 120, 70);
const QColor kGridColour(225, 225, 225);

QString Number(double value) {
  const double magnitude = std::fabs(value);
  return QString::number(value, 'f', magnitude >= 100 || value == 0 ? 0 : magnitude >= 10 ? 1 : 2);
}

// A step of 1, 2 or 5 times a power of ten near `span` / `count`.
double NiceStep(double span, int count) {
  const double raw = span / std::max(1, count);
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0, 10.0})
    if (raw <= m * power) return m * power;
  return 10 * power;
}

QString QuantityTitle(bool power) { return power ? QStringLiteral("電力 (W)") : QStringLiteral("電流 (mA)"); }

}  // namespace

QString LocalTimeText(std::int64_t ms, const char* format) {
  const std::time_t t = static_cast<std::time_t>(std::floor(static_cast<double>(ms) / 1000.0));
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[40];
  std::strftime(text, sizeof text, format, &tm);
  return QString::fromUtf8(text);
}

QColor OutletColour(int outlet) {
  static const QColor kColours[] = {QColor(31, 119, 180), QColor(255, 127, 14), QColor(44, 160, 44),
                                    QColor(214, 39, 40)};
  return kColours[std::clamp(outlet, 1, 4) - 1];
}

QString OutletName(int outlet) {
  static const char* kNames[] = {"１番", "２番", "３番", "４番"};
  return QString::fromUtf8(kNames[std::clamp(outlet, 1, 4) - 1]);
}

void UseChartFont() {
  QFont font = QGuiApplication::font();
  font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"), font.family()});
  font.setPointSize(9);
  QGuiApplication::setFont(font);
}

QString TrendChart::Label(int outlet) const {
  const std::string name = OutletNameOr(names_, outlet, "");
  return name.empty() ? OutletName(outlet) : OutletName(outlet) + QStringLiteral(" ") + QString::fromStdString(name);
}

void TrendChart::SetRange(std::int64_t fromMs, std::int64_t toMs) {
  fromMs_ = fromMs;
  toMs_ = std::max(toMs, fromMs + 1000);
}

std::pair<std::int64_t, std::int64_t> TrendChart::Extent() const {
  std::int64_t first = 0, end = 0;
  for (const history::SeriesKey& key : store_.Series()) {
    if (key.serial != serial_ || key.outlet != 1) continue;
    const auto [f, e] = store_.Held(key);
    if (e == 0) continue;
    first = first == 0 ? f : std::min(first, f);
    end = std::max(end, e);
  }
  return {first, end};
}

double TrendChart::X(const QRect& plot, std::int64_t ms) const {
  return plot.left() + static_cast<double>(ms - fromMs_) * plot.width() / static_cast<double>(toMs_ - fromMs_);
}

void TrendChart::Layout(const QRect& area) {
  panels_.clear();
  bool current = false, power = false;
  for (const history::SeriesKey& key : store_.Series()) {
    if (key.serial != serial_) continue;
    (key.power ? power : current) = true;
  }
  if (!current && !power) power = true;  // an empty panel that says so
  const QFontMetrics metrics{QFont()};
  const int top = area.top() + 2 * metrics.height() + 10;
  const int count = (current ? 1 : 0) + (power ? 1 : 0);
  const int height = (area.bottom() - top - kTimeAxisHeight - kPanelSpacing * (count - 1)) / count;
  int y = top;
  for (const bool isPower : {false, true}) {
    if (isPower ? !power : !current) continue;
    Panel panel;
    panel.power = isPower;
    panel.plot = QRect(area.left() + kLeftMargin, y, area.width() - kLeftMargin - kRightMargin, std::max(10, height));
    y += height + kPanelSpacing;
    double low = 0, high = 0;
    bool any = false;
    for (int outlet = 1; outlet <= 4; ++outlet) {
      auto& slice = panel.slices[static_cast<std::size_t>(outlet - 1)];
      slice = store_.Range({serial_, isPower, outlet}, fromMs_, toMs_, static_cast<std::size_t>(panel.plot.width()));
      OutletFigures& f = panel.figures[static_cast<std::size_t>(outlet - 1)];
      double sum = 0;
      std::uint64_t n = 0;
      for (std::size_t i = 0; i < slice.buckets.size(); ++i) {
        const history::Bucket& b = slice.buckets[i];
        if (b.count == 0) continue;
        f.min = f.any ? std::min<double>(f.min, b.min) : b.min;
        f.max = f.any ? std::max<double>(f.max, b.max) : b.max;
        f.any = true;
        sum += b.sum;
        n += b.count;
      }
      if (!f.any) continue;
      f.mean = sum / static_cast<double>(n);
      low = any ? std::min(low, f.min) : f.min;
      high = any ? std::max(high, f.max) : f.max;
      any = true;
    }
    low = std::min(low, 0.0);
    if (high <= low) high = low + 1;
    const double step = NiceStep(high - low, 5);
    panel.low = std::floor(low / step) * step;
    panel.high = std::ceil(high * 1.02 / step) * step;
    panels_.push_back(std::move(panel));
  }
  gaps_.clear();
  for (history::Gap gap : store_.Gaps(serial_)) {
    if (gap.endMs == 0) gap.endMs = toMs_;
    if (gap.endMs > fromMs_ && gap.startMs < toMs_) gaps_.push_back(gap);
  }
  energy_ = store_.Energy(serial_, fromMs_, toMs_);
}

void TrendChart::Paint(QPainter& painter, const QRect& area) {
  Layout(area);
  painter.save();
  painter.fillRect(area, Qt::white);
  PaintHeader(painter, area);
  for (std::size_t i = 0; i < panels_.size(); ++i) PaintPanel(painter, panels_[i], i + 1 == panels_.size());
  PaintGaps(painter);
  painter.restore();
}

void TrendChart::PaintHeader(QPainter& painter, const QRect& area) const {
  const QFontMetrics metrics = painter.fontMetrics();
  const int line = metrics.height();
  painter.setPen(Qt::black);
  painter.drawText(QRect(area.left() + 6, area.top() + 4, area.width() - 12, line), Qt::AlignLeft, Title());
  painter.drawText(QRect(area.left() + 6, area.top() + 4 + line, area.width() - 12, line), Qt::AlignLeft, EnergyLine());
  // The legend, right-aligned on the title's line.
  int x = area.right() - 6;
  for (int outlet = 4; outlet >= 1; --outlet) {
    const QString name = Label(outlet);
    x -= metrics.horizontalAdvance(name);
    painter.setPen(Qt::black);
    painter.drawText(QPoint(x, area.top() + 4 + metrics.ascent()), name);
    x -= 20;
    painter.fillRect(QRect(x, area.top() + 4 + line / 2 - 4, 16, 8), OutletColour(outlet));
    x -= 12;
  }
}

void TrendChart::PaintPanel(QPainter& painter, const Panel& panel, bool timeLabels) const {
  const QRect& plot = panel.plot;
  const QFontMetrics metrics = painter.fontMetrics();
  const double step = NiceStep(panel.high - panel.low, 5);
  for (double v = panel.low; v <= panel.high + step / 2; v += step) {
    const int y =
        static_cast<int>(std::lround(plot.bottom() - (v - panel.low) / (panel.high - panel.low) * plot.height()));
    painter.setPen(kGridColour);
    painter.drawLine(plot.left(), y, plot.right(), y);
    painter.setPen(Qt::black);
    painter.drawText(QRect(plot.left() - kLeftMargin, y - metrics.height() / 2, kLeftMargin - 6, metrics.height()),
                     Qt::AlignRight | Qt::AlignVCenter, Number(v));
  }
  painter.setClipRect(plot);
  for (int outlet = 1; outlet <= 4; ++outlet) PaintSeries(painter, panel, outlet);
  painter.setClipping(false);
  painter.setPen(Qt::black);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(plot.adjusted(0, 0, -1, -1));
  painter.drawText(plot.adjusted(6, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, QuantityTitle(panel.power));
  bool any = false;
  for (const OutletFigures& f : panel.figures) any = any || f.any;
  if (!any) painter.drawText(plot, Qt::AlignCenter, QStringLiteral("この範囲に測定値はありません"));
  if (timeLabels) PaintTimeAxis(painter, plot);
}

void TrendChart::PaintSeries(QPainter& painter, const Panel& panel, int outlet) const {
  const history::Slice& slice = panel.slices[static_cast<std::size_t>(outlet - 1)];
  const QRect& plot = panel.plot;
  const auto y = [&](double v) { return plot.bottom() - (v - panel.low) / (panel.high - panel.low) * plot.height(); };
  QColor band = OutletColour(outlet);
  band.setAlpha(70);
  // The mean line joins readings no further apart than twice their usual
  // spacing (and a second): records at an interval are one line, a gap is none.
  std::vector<std::int64_t> spacing;
  std::int64_t previous = -1;
  for (std::size_t i = 0; i < slice.buckets.size(); ++i) {
    if (slice.buckets[i].count == 0) continue;
    if (previous >= 0) spacing.push_back((static_cast<std::int64_t>(i) - previous) * slice.widthMs);
    previous = static_cast<std::int64_t>(i);
  }
  const std::int64_t usual = history::UsualSpacing(std::move(spacing), slice.widthMs);
  const std::int64_t joinMs = 2 * usual + 1000;
  QPolygonF line;
  const auto flush = [&] {
    if (line.size() > 1)
      painter.drawPolyline(line);
    else if (line.size() == 1)
      painter.drawPoint(line.front());
    line.clear();
  };
  painter.setPen(QPen(OutletColour(outlet), 1.5));
  std::int64_t lastMs = INT64_MIN / 2;
  for (std::size_t i = 0; i < slice.buckets.size(); ++i) {
    const history::Bucket& b = slice.buckets[i];
    if (b.count == 0) continue;
    const std::int64_t startMs = slice.startMs + static_cast<std::int64_t>(i) * slice.widthMs;
    const double x0 = X(plot, startMs), x1 = X(plot, startMs + slice.widthMs);
    const double left = std::floor(x0), right = std::max(left + 1, std::floor(x1));
    painter.fillRect(QRectF(left, y(b.max), right - left, std::max(1.0, y(b.min) - y(b.max))), band);
    if (startMs - lastMs > joinMs) flush();
    line << QPointF((x0 + x1) / 2, y(b.Mean()));
    lastMs = startMs;
  }
  flush();
}

void TrendChart::PaintGaps(QPainter& painter) const {
  if (panels_.empty()) return;
  const QRect plot = panels_.front().plot.united(panels_.back().plot);
  QFont small = painter.font();
  small.setPointSizeF(small.pointSizeF() * 0.85);
  painter.setFont(small);
  const QFontMetrics metrics(small);
  double labelEnd = -1e9;  // a label that would overlap the one before is left to the tooltip
  for (const history::Gap& gap : gaps_) {
    // From the end of the last reading's second to the start of the next one's.
    const std::int64_t start = (gap.startMs / 1000 + 1) * 1000, end = std::max(start, gap.endMs / 1000 * 1000);
    const double x0 = std::max<double>(plot.left(), X(plot, start));
    const double x1 = std::min<double>(plot.right(), X(plot, end));
    if (x1 <= x0) continue;
    painter.fillRect(QRectF(x0, plot.top(), std::max(1.0, x1 - x0), plot.height()), kGapShade);
    const QString text = QString::fromStdString(history::GapCauseText(gap.cause));
    painter.setPen(QColor(60, 60, 60));
    const int width = metrics.horizontalAdvance(text);
    if (x1 - x0 >= width + 6) {
      painter.drawText(QPointF((x0 + x1 - width) / 2, plot.top() + metrics.height() + 16), text);
      labelEnd = (x0 + x1 + width) / 2;
    } else if ((x0 + x1) / 2 - metrics.height() > labelEnd) {  // narrow: along the band, downwards
      labelEnd = (x0 + x1) / 2 + metrics.height() / 2.0;
      painter.save();
      painter.translate((x0 + x1) / 2 - metrics.descent() + metrics.ascent() / 2.0, plot.top() + 20);
      painter.rotate(90);
      painter.drawText(QPointF(0, 0), text);
      painter.restore();
    }
  }
}

void TrendChart::PaintTimeAxis(QPainter& painter, const QRect& plot) const {
  static const std::int64_t kSteps[] = {1,   2,    5,    10,   15,    30,    60,    120,   300,    600,
                                        900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 172800, 604800};
  const std::int64_t span = (toMs_ - fromMs_) / 1000;
  const int labels = std::max(2, plot.width() / 110);
  std::int64_t step = kSteps[std::size(kSteps) - 1];
  for (const std::int64_t s : kSteps)
    if (span / s <= labels) {
      step = s;
      break;
    }
  const std::time_t first = static_cast<std::time_t>(fromMs_ / 1000);
  std::tm tm{};
  localtime_r(&first, &tm);
  const std::int64_t offset = tm.tm_gmtoff;  // ticks on the local clock's round values
  const char* format = step >= 86400 ? "%m/%d" : span > 86400 ? "%m/%d %H:%M" : step >= 60 ? "%H:%M" : "%H:%M:%S";
  const QFontMetrics metrics = painter.fontMetrics();
  for (std::int64_t t = ((fromMs_ / 1000 + offset) / step + 1) * step - offset; t * 1000 < toMs_; t += step) {
    const int x = static_cast<int>(std::lround(X(plot, t * 1000)));
    painter.setPen(Qt::black);
    painter.drawLine(x, plot.bottom(), x, plot.bottom() + 4);
    const QString text = LocalTimeText(t * 1000, format);
    painter.drawText(QPointF(x - metrics.horizontalAdvance(text) / 2.0, plot.bottom() + 6 + metrics.ascent()), text);
  }
}

}  // namespace kvx::trend
