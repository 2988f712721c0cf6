// The chart's words: its title and energy line, the cursor's readout and the
// description a screen reader gives.
#include <cmath>
#include <ctime>

#include "device/protocol.h"
#include "history/journal_causes.h"
#include "trend/trend_chart.h"

namespace kvx::trend {

namespace {

QString SerialText(std::uint32_t serial) { return QString::fromStdString(protocol::FormatSerialName(serial)); }

QString Value(double v) { return QString::number(v, 'f', std::fabs(v) >= 100 ? 0 : 1); }

}  // namespace

QString TrendChart::Title() const {
  return SerialText(serial_) + QStringLiteral("  ") + LocalTimeText(fromMs_) + QStringLiteral(" – ") + LocalTimeText(toMs_);
}

QString TrendChart::EnergyLine() const {
  if (energy_.measuredS <= 0) return QStringLiteral("電力量: この範囲に電力の測定はありません");
  QString line = QStringLiteral("電力量");
  for (int outlet = 1; outlet <= 4; ++outlet)
    line += QStringLiteral("  ") + Label(outlet) + QStringLiteral(" ") +
            QString::number(energy_.wattHours[static_cast<std::size_t>(outlet - 1)], 'f', 2) + QStringLiteral(" Wh");
  const double share = 100.0 * energy_.measuredS * 1000.0 / static_cast<double>(toMs_ - fromMs_);
  return line + QStringLiteral("  (測定 %1 %)").arg(std::min(100.0, share), 0, 'f', 1);
}

std::optional<std::int64_t> TrendChart::TimeAt(int x) const {
  if (panels_.empty()) return std::nullopt;
  const QRect& plot = panels_.front().plot;
  if (x < plot.left() || x > plot.right()) return std::nullopt;
  return fromMs_ + static_cast<std::int64_t>(static_cast<double>(x - plot.left()) *
                                             static_cast<double>(toMs_ - fromMs_) / plot.width());
}

std::optional<history::Gap> TrendChart::GapAt(int x) const {
  const std::optional<std::int64_t> t = TimeAt(x);
  if (!t) return std::nullopt;
  for (const history::Gap& gap : gaps_)
    if (*t >= gap.startMs && *t < gap.endMs) return gap;
  return std::nullopt;
}

QString TrendChart::ReadoutAt(int x) const {
  const std::optional<std::int64_t> t = TimeAt(x);
  if (!t) return {};
  QString text = LocalTimeText(*t);
  for (const Panel& panel : panels_) {
    text += panel.power ? QStringLiteral("   W") : QStringLiteral("   mA");
    for (int outlet = 1; outlet <= 4; ++outlet) {
      const history::Slice& slice = panel.slices[static_cast<std::size_t>(outlet - 1)];
      const std::int64_t i = slice.widthMs > 0 ? (*t - slice.startMs) / slice.widthMs : -1;
      text += QStringLiteral("  ") + Label(outlet) + QStringLiteral(" ");
      if (i < 0 || i >= static_cast<std::int64_t>(slice.buckets.size()) ||
          slice.buckets[static_cast<std::size_t>(i)].count == 0) {
        text += QStringLiteral("—");
        continue;
      }
      const history::Bucket& b = slice.buckets[static_cast<std::size_t>(i)];
      text += Value(b.min) + QStringLiteral("/") + Value(b.Mean()) + QStringLiteral("/") + Value(b.max);
    }
  }
  if (const auto gap = GapAt(x))
    text += QStringLiteral("   記録なし: ") + QString::fromStdString(history::GapCauseText(gap->cause));
  return text;
}

QString TrendChart::Describe() const {
  QString text = SerialText(serial_) + QStringLiteral(" の履歴、") + LocalTimeText(fromMs_) + QStringLiteral(" から ") +
                 LocalTimeText(toMs_) + QStringLiteral(" まで。");
  for (const Panel& panel : panels_) {
    text += panel.power ? QStringLiteral("電力 W:") : QStringLiteral("電流 mA:");
    for (int outlet = 1; outlet <= 4; ++outlet) {
      const OutletFigures& f = panel.figures[static_cast<std::size_t>(outlet - 1)];
      text += QStringLiteral(" ") + Label(outlet) +
              (f.any ? QStringLiteral(" 最小 %1 平均 %2 最大 %3、").arg(Value(f.min), Value(f.mean), Value(f.max))
                     : QStringLiteral(" 測定値なし、"));
    }
    text += QStringLiteral("。");
  }
  text += EnergyLine() + QStringLiteral("。");
  if (!gaps_.empty()) text += QStringLiteral("記録の途切れ %1 か所:").arg(gaps_.size());
  for (const history::Gap& gap : gaps_)
    text += QStringLiteral(" ") + QString::fromStdString(history::GapCauseText(gap.cause)) + QStringLiteral(" ") +
            LocalTimeText(gap.startMs, "%H:%M:%S") + QStringLiteral("–") + LocalTimeText(gap.endMs, "%H:%M:%S") +
            QStringLiteral("、");
  return text;
}

}  // namespace kvx::trend
