#include "trend/trend_window.h"

#include <QCheckBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "device/protocol.h"
#include "history/journal_causes.h"
#include "history/log_loader.h"

namespace kvx::trend {

namespace {

constexpr int kRepaintMs = 250;  // live readings at most 4 times a second
constexpr std::int64_t kMinSpanMs = 10 * 1000;

std::int64_t NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

}  // namespace

ChartView::ChartView(history::HistoryStore& store, QWidget* parent)
    : QWidget(parent), store_(store), chart_(std::make_unique<TrendChart>(store, 0)) {
  setMouseTracking(true);
  setMinimumSize(400, 240);
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleName(QStringLiteral("トレンドグラフ"));
}

void ChartView::SetStrip(std::uint32_t serial) {
  if (serial == chart_->serial()) return;
  const std::int64_t from = chart_->fromMs(), to = chart_->toMs();
  chart_ = std::make_unique<TrendChart>(store_, serial);
  chart_->SetRange(from, to);
  chart_->SetOutletNames(names_);
}

void ChartView::SetOutletNames(const OutletNames& names) {
  names_ = names;
  chart_->SetOutletNames(names);
}

void ChartView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  chart_->Paint(painter, rect());
  const QString description = chart_->Describe();
  if (description != described_) {
    described_ = description;
    setAccessibleDescription(description);
  }
}

void ChartView::wheelEvent(QWheelEvent* event) {
  const std::optional<std::int64_t> at = chart_->TimeAt(static_cast<int>(event->position().x()));
  if (!at || event->angleDelta().y() == 0) return;
  // One notch zooms by 1.25 about the time under the pointer.
  const double factor = std::pow(1.25, -event->angleDelta().y() / 120.0);
  const std::int64_t from = chart_->fromMs(), to = chart_->toMs();
  const auto span = static_cast<double>(to - from) * factor;
  if (span < kMinSpanMs) return;
  const double share = static_cast<double>(*at - from) / static_cast<double>(to - from);
  const auto newFrom = *at - static_cast<std::int64_t>(share * span);
  chart_->SetRange(newFrom, newFrom + static_cast<std::int64_t>(span));
  emit userMoved();
  update();
}

void ChartView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragX_ = static_cast<int>(event->position().x());
  dragFromMs_ = chart_->fromMs();
  dragToMs_ = chart_->toMs();
}

void ChartView::mouseMoveEvent(QMouseEvent* event) {
  const int x = static_cast<int>(event->position().x());
  if (dragX_ && (event->buttons() & Qt::LeftButton)) {
    const auto [t0, t1] = std::pair{chart_->TimeAt(*dragX_), chart_->TimeAt(x)};
    if (t0 && t1) {
      // The plot's scale at the start of the drag: the time under the pointer stays.
      const std::int64_t shift = *t0 - *t1;
      chart_->SetRange(dragFromMs_ + shift, dragToMs_ + shift);
      dragX_ = x;
      dragFromMs_ = chart_->fromMs();
      dragToMs_ = chart_->toMs();
      emit userMoved();
      update();
    }
  }
  emit readout(chart_->ReadoutAt(x));
}

void ChartView::mouseReleaseEvent(QMouseEvent*) { dragX_.reset(); }

bool ChartView::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    if (const auto gap = chart_->GapAt(help->pos().x())) {
      QToolTip::showText(help->globalPos(),
                         QStringLiteral("記録なし: ") + QString::fromStdString(history::GapCauseText(gap->cause)));
    } else {
      QToolTip::hideText();
    }
    return true;
  }
  return QWidget::event(event);
}

TrendWindow::TrendWindow(history::HistoryStore& store, std::string logDirectory, std::int64_t liveSinceMs,
                         const OutletNames& names, QWidget* parent)
    : QWidget(parent, Qt::Window), store_(store), logDirectory_(std::move(logDirectory)), liveSinceMs_(liveSinceMs) {
  setWindowTitle(QStringLiteral("トレンド表示"));
  setAccessibleName(QStringLiteral("トレンド表示"));
  resize(1000, 560);
  auto* layout = new QVBoxLayout(this);
  auto* bar = new QHBoxLayout;
  const std::pair<const char*, std::int64_t> presets[] = {
      {"10分", 600000}, {"1時間", 3600000}, {"1日", 86400000}, {"7日", 7 * 86400000LL}, {"全体", 0}};
  for (const auto& [text, span] : presets) {
    auto* button = new QPushButton(QString::fromUtf8(text), this);
    button->setAccessibleName(QStringLiteral("表示範囲 ") + QString::fromUtf8(text));
    connect(button, &QPushButton::clicked, this, [this, span = span] { SetSpan(span); });
    bar->addWidget(button);
  }
  follow_ = new QCheckBox(QStringLiteral("現在を追従"), this);
  follow_->setAccessibleName(QStringLiteral("現在を追従"));
  follow_->setChecked(true);
  connect(follow_, &QCheckBox::toggled, this, &TrendWindow::SetFollow);
  bar->addWidget(follow_);
  bar->addStretch();
  status_ = new QLabel(this);
  status_->setAccessibleName(QStringLiteral("読み込みの状態"));
  bar->addWidget(status_);
  layout->addLayout(bar);
  view_ = new ChartView(store_, this);
  view_->SetOutletNames(names);
  layout->addWidget(view_, 1);
  readout_ = new QLabel(this);
  readout_->setAccessibleName(QStringLiteral("カーソル位置の値"));
  readout_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(readout_);
  connect(view_, &ChartView::readout, readout_, &QLabel::setText);
  connect(view_, &ChartView::userMoved, this, [this] { follow_->setChecked(false); });
  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &TrendWindow::Tick);
  timer_->start(kRepaintMs);
  SetSpan(spanMs_);
}

TrendWindow::~TrendWindow() {
  if (loader_.joinable()) loader_.join();
}

void TrendWindow::ShowStrip(std::uint32_t serial) {
  if (serial == 0) {
    for (const history::SeriesKey& key : store_.Series()) {
      serial = key.serial;
      break;
    }
  }
  view_->SetStrip(serial);
  if (serial != 0) {
    setWindowTitle(QStringLiteral("トレンド表示 — ") + QString::fromStdString(protocol::FormatSerialName(serial)));
    LoadLogs(serial);
  }
  SetSpan(spanMs_);
}

void TrendWindow::SetSpan(std::int64_t spanMs) {
  spanMs_ = spanMs;
  TrendChart& chart = view_->chart();
  const auto [first, end] = chart.Extent();
  const std::int64_t to = follow_->isChecked() || end == 0 ? std::max(NowMs(), end) : chart.toMs();
  const std::int64_t from = spanMs != 0 ? to - spanMs : (first != 0 ? first : to - 3600 * 1000);
  chart.SetRange(from, to);
  view_->update();
}

void TrendWindow::SetFollow(bool follow) {
  if (follow_->isChecked() != follow) follow_->setChecked(follow);
  if (follow) SetSpan(spanMs_ != 0 ? spanMs_ : view_->chart().toMs() - view_->chart().fromMs());
}

void TrendWindow::Tick() {
  if (follow_->isChecked()) {
    TrendChart& chart = view_->chart();
    const std::int64_t span = spanMs_ != 0 ? spanMs_ : chart.toMs() - chart.fromMs();
    const std::int64_t now = NowMs();
    chart.SetRange(spanMs_ != 0 ? now - span : std::min(chart.fromMs(), now - span), now);
  }
  view_->update();
}

void TrendWindow::ShowAllIfShorter() {
  // A history shorter than the preset would be a sliver at the right: all of it is shown.
  const auto [first, end] = view_->chart().Extent();
  if (follow_->isChecked() && spanMs_ != 0 && end != 0 && first > NowMs() - spanMs_) SetSpan(0);
}

void TrendWindow::LoadLogs(std::uint32_t serial) {
  if (loaded_.count(serial) != 0 || loading_.load()) return;
  loaded_.insert(serial);
  if (loader_.joinable()) loader_.join();
  loading_.store(true);
  status_->setText(QStringLiteral("ログを読み込み中…"));
  QPointer<QLabel> status(status_);
  loader_ = std::thread([this, serial, status] {
    const auto say = [this, status](QString text) {
      QMetaObject::invokeMethod(
          this,
          [status, text] {
            if (status) status->setText(text);
          },
          Qt::QueuedConnection);
    };
    const history::LoadResult result = history::LoadLogDirectory(
        store_, logDirectory_, serial,
        [&](std::size_t done, std::size_t total) {
          say(QStringLiteral("ログを読み込み中: %1 / %2 ファイル").arg(done).arg(total));
        },
        liveSinceMs_);
    say(result.error.empty() ? QStringLiteral("ログ %1 ファイル、%2 件、途切れ %3 か所")
                                   .arg(result.files)
                                   .arg(result.records)
                                   .arg(result.gaps)
                             : QString::fromStdString(result.error));
    loading_.store(false);
    QMetaObject::invokeMethod(
        this, [this] { ShowAllIfShorter(); }, Qt::QueuedConnection);
  });
}

}  // namespace kvx::trend
