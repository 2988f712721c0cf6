// The trend window: the history chart of a strip (trend_chart.h) over a range
// the user chooses: presets (10 minutes to all), wheel zoom about the pointer,
// drag to pan, and "follow now", which keeps the range's end at the present.
// Live readings come from the history store the acquisition thread fills; the
// chart is repainted at most 4 times a second. The strip's logs of earlier
// runs are loaded into the store on a worker thread when the window first
// shows it, with the progress in the window. The chart is described for a
// screen reader (its accessible description) and every control is named.
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "history/history_store.h"
#include "trend/trend_chart.h"

class QCheckBox;
class QLabel;
class QTimer;

namespace kvx::trend {

class ChartView;

class TrendWindow final : public QWidget {
  Q_OBJECT

 public:
  // `liveSinceMs`: when the store began to hear live readings; logged records
  // from then on are the live ones and are not loaded again.
  TrendWindow(history::HistoryStore& store, std::string logDirectory, std::int64_t liveSinceMs,
              const OutletNames& names = {}, QWidget* parent = nullptr);
  ~TrendWindow() override;

  // Shows the strip's history (0: the first strip the store holds), loading
  // its logs the first time.
  void ShowStrip(std::uint32_t serial);
  // The preset ranges, in milliseconds (0: all that is held).
  void SetSpan(std::int64_t spanMs);
  void SetFollow(bool follow);
  bool loading() const { return loading_.load(); }
  ChartView& chartView() { return *view_; }

 private:
  void Tick();
  void LoadLogs(std::uint32_t serial);
  void ShowAllIfShorter();

  history::HistoryStore& store_;
  const std::string logDirectory_;
  const std::int64_t liveSinceMs_;
  ChartView* view_ = nullptr;
  QCheckBox* follow_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* readout_ = nullptr;
  QTimer* timer_ = nullptr;
  std::int64_t spanMs_ = 600 * 1000;
  std::set<std::uint32_t> loaded_;
  std::thread loader_;
  std::atomic<bool> loading_{false};
};

// The chart as a widget: paints it, and turns the wheel into zoom about the
// pointer, a drag into a pan, the pointer into the readout and a gap's
// tooltip.
class ChartView final : public QWidget {
  Q_OBJECT

 public:
  ChartView(history::HistoryStore& store, QWidget* parent);
  void SetStrip(std::uint32_t serial);
  void SetOutletNames(const OutletNames& names);
  TrendChart& chart() { return *chart_; }

 signals:
  void readout(const QString& text);
  void userMoved();  // a zoom or a pan: "follow now" ends

 protected:
  void paintEvent(QPaintEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool event(QEvent* event) override;

 private:
  history::HistoryStore& store_;
  std::unique_ptr<TrendChart> chart_;
  OutletNames names_;
  std::optional<int> dragX_;
  std::int64_t dragFromMs_ = 0, dragToMs_ = 0;
  QString described_;
};

}  // namespace kvx::trend
