#include "ui/kvxclient_dlg.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <iostream>
#include <vector>

#include "acquisition/control_ids.h"
#include "graph/waveform_graph.h"
#include "history/history_store.h"
#include "recording/csv_recorder.h"
#include "resources/dialog_templates.h"
#include "trend/trend_window.h"
#include "ui/about_dlg.h"
#include "ui/accessibility.h"
#include "ui/accessible_texts.h"
#include "ui/button_wiring.h"
#include "ui/control_renderer.h"
#include "ui/dialog_layout.h"
#include "ui/qt_tree_view.h"

namespace kvx::ui {

namespace {

// The plot rectangle of the graph in client pixels: copied when painting,
// repainted (without erasing) when the graph has drawn a frame.
const QRect kGraphRect(WaveformGraph::PLOT_RECT.left, WaveformGraph::PLOT_RECT.top,
                       WaveformGraph::PLOT_RECT.right - WaveformGraph::PLOT_RECT.left,
                       WaveformGraph::PLOT_RECT.bottom - WaveformGraph::PLOT_RECT.top);

// Present values (nowBrush); every other value field shows a statistic or the
// environment (statBrush).
constexpr int kPresentValueFields[] = {ids::PRESENT_VALUE[0], ids::PRESENT_VALUE[1], ids::PRESENT_VALUE[2],
                                       ids::PRESENT_VALUE[3], ids::WAVE_VALUE,       ids::WAVE_MAX,
                                       ids::WAVE_MIN};

}  // namespace

CKvxclient_01Dlg::CKvxclient_01Dlg(Client& client, std::string commandLineText, QWidget* parent,
                                   std::vector<std::string> programOptions)
    : QDialog(parent),
      client_(client),
      commandLineText_(std::move(commandLineText)),
      programOptions_(std::move(programOptions)) {
  const resources::DialogTemplate& dialog = resources::MainDialogTemplate();
  // A window of its own (own taskbar entry) with title, system menu,
  // minimise and close boxes, fixed in size so it cannot be maximised.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  baseTitle_ = QString::fromUtf8(dialog.title.data(), static_cast<qsizetype>(dialog.title.size()));
  setWindowTitle(baseTitle_);
  setFont(DialogFont(dialog.fontPointSize));
  setFixedSize(PixelSize(dialog));

  InstallAccessibleFactory();
  renderer_ = new ControlRenderer(client_.state().controls, this);
  CreateControls();
  CreateGraphStandIn();
  ApplyAccessibleTexts();
  treeView_ = std::make_unique<QtTreeView>(*treeWidget_);
  handlers_ = std::make_unique<PanelHandlers>(client_.state(), [this] { client_.recorder().CloseLogFiles(CloseReason::LogSwitchedOff); });
  deviceTree_ = std::make_unique<DeviceTree>(
      client_.state(), *treeView_, *handlers_,
      GraphActions{[this] { client_.graph().CreateGraphBitmap(); }, [this] { client_.graph().ClearGraphBitmap(); }});
  ConnectControls();
}

CKvxclient_01Dlg::~CKvxclient_01Dlg() {
  ShutdownClient();
  // The tree reports selection changes while Qt deletes its items below,
  // after the tree logic is gone.
  QObject::disconnect(treeWidget_, nullptr, this, nullptr);
  // Likewise the buttons, whose handlers are gone before Qt deletes them.
  delete buttons_;
  buttons_ = nullptr;
}

void CKvxclient_01Dlg::CreateControls() {
  // Creation order is the template's row order, which is also the tab order.
  for (const resources::ControlTemplate& row : resources::MainDialogTemplate().controls) {
    QWidget* widget = CreateControl(row, this);
    controls_[row.id] = widget;
    renderer_->AddControl(row.id, widget, FitsTextToWidth(row.kind));
    if (row.id == ids::DEVICE_TREE) treeWidget_ = static_cast<QTreeWidget*>(widget);
  }
  std::vector<int> grouped;
  for (const resources::ControlTemplate& row : resources::MainDialogTemplate().controls) {
    const std::vector<int> members = ControlModel::RadioGroupOf(row.id);
    if (members.empty() || std::find(grouped.begin(), grouped.end(), row.id) != grouped.end()) continue;
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    for (int id : members) {
      group->addButton(static_cast<QAbstractButton*>(controls_.at(id)), id);
      grouped.push_back(id);
    }
  }
}

void CKvxclient_01Dlg::ConnectControls() {
  buttons_ = new ButtonWiring(client_.state().controls, *handlers_, *renderer_,
                              [this](int id) { OnControlClicked(id); }, this);
  for (const auto& [id, widget] : controls_) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) buttons_->Connect(id, button);
  }
  connect(treeWidget_, &QTreeWidget::itemSelectionChanged, this, [this] {
    deviceTree_->OnTreeSelectionChanged();
    renderer_->RenderNow();
    UpdateViewAccessibility();
  });
}

QWidget* CKvxclient_01Dlg::Control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

bool CKvxclient_01Dlg::OnInitDialog() {
  CreateAboutEntry();
  if (!ApplyCommandLine()) return false;
  setWindowIcon(QIcon(QPixmap::fromImage(ApplicationIconImage())));
  ApplyValueFont();
  ApplyValueFieldColours();
  client_.SetInitialControlStates();
  client_.JournalProcessStarted(programOptions_, commandLineText_);
  history_ = std::make_unique<history::HistoryStore>();
  historySinceMs_ = QDateTime::currentMSecsSinceEpoch();
  client_.AddListener(*history_);
  renderer_->Start();
  renderer_->RenderNow();
  client_.graph().SetInvalidateCallback([this] { RequestGraphUpdate(); });
  RegisterInterfaceNotifications();
  client_.StartAcquisition(*this);
  ShowLogState();
  auto* logTimer = new QTimer(this);
  connect(logTimer, &QTimer::timeout, this, &CKvxclient_01Dlg::ShowLogState);
  logTimer->start(1000);
  return true;
}

void CKvxclient_01Dlg::ShowNotice(const QString& text) {
  std::cerr << "kvxclient: " << text.toStdString() << '\n';
  QTimer::singleShot(0, this, [this, text] {
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("KVXCLIENT"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
  });
}

void CKvxclient_01Dlg::ShowLogState() {
  const RecorderStatus log = client_.recorder().Status();
  const QString directory = QString::fromStdString(client_.recorder().directory());
  QString state;
  if (log.failing) state = QStringLiteral(" \u2014 LOG FAILING: ") + QString::fromStdString(log.lastError);
  else if (log.loggingChecked) state = QStringLiteral(" \u2014 logging to ") + directory;
  const QString title = baseTitle_ + state;
  if (windowTitle() != title) setWindowTitle(title);
  if (QWidget* box = Control(ids::LOG_CHECK)) {
    const QString tip = QStringLiteral("CSV files and the event journal go to ") + directory +
                        (log.failing ? QStringLiteral("\nFailing: ") + QString::fromStdString(log.lastError) : QString());
    if (box->toolTip() != tip) box->setToolTip(tip);
  }
  if (log.failureEpisodes != logEpisodesSeen_) {
    logEpisodesSeen_ = log.failureEpisodes;
    ShowNotice(QStringLiteral("Logging is failing: ") + QString::fromStdString(log.episodeError));
  }
}

void CKvxclient_01Dlg::CreateAboutEntry() {
  // X11 window managers own the title-bar menu: the entry lives in the
  // dialog's context menu, and F1 opens the box as well.
  const std::string_view text = resources::LoadString(resources::IDS_ABOUTBOX);
  if (text.empty()) return;
  aboutText_ = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, &CKvxclient_01Dlg::ShowAboutBox);
  auto* trend = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
  connect(trend, &QShortcut::activated, this, &CKvxclient_01Dlg::ShowTrend);
}

bool CKvxclient_01Dlg::ApplyCommandLine() {
  const CommandLineResult result = client_.ApplyCommandLine(commandLineText_);
  if (result.ok) {
    // Text the values did not take is said, without stopping the start.
    if (!result.unreadText.empty()) ShowNotice(QString::fromStdString(TakenAsText(result)));
    return true;
  }
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("KVXCLIENT"),
                  QString::fromStdString(result.errorMessage + "\n" + result.errorDetail), QMessageBox::Ok);
  box.exec();
  return false;
}

void CKvxclient_01Dlg::ApplyValueFont() {
  const QFont font = ValueFont();
  for (int id : ids::VALUE_FIELDS) Control(id)->setFont(font);
}

void CKvxclient_01Dlg::ApplyValueFieldColours() {
  for (int id : ids::VALUE_FIELDS) {
    const bool present = std::find(std::begin(kPresentValueFields), std::end(kPresentValueFields), id) !=
                         std::end(kPresentValueFields);
    SetValueFieldColours(Control(id), present ? kPresentBackground : kStatisticBackground);
  }
}

void CKvxclient_01Dlg::CreateGraphStandIn() {
  // Not drawn and not clickable: the dialog paints the graph beneath it.
  graphStandIn_ = new QWidget(this);
  graphStandIn_->setObjectName(QStringLiteral("waveformGraph"));
  graphStandIn_->setGeometry(kGraphRect);
  graphStandIn_->setAttribute(Qt::WA_TransparentForMouseEvents);
  graphStandIn_->setFocusPolicy(Qt::NoFocus);
  graphStandIn_->hide();
  MarkGraphStandIn(graphStandIn_);
}

void CKvxclient_01Dlg::ApplyAccessibleTexts() {
  MarkDeviceTree(treeWidget_);
  for (const auto& [id, widget] : controls_) {
    const AccessibleText text = AccessibleTextOfField(id, 0);
    auto* label = qobject_cast<QLabel*>(widget);
    if (text.name.empty() || !label) continue;
    MarkValueField(label);
    label->setAccessibleName(QString::fromStdString(text.name));
    label->setAccessibleDescription(QString::fromStdString(text.description));
  }
}

void CKvxclient_01Dlg::UpdateViewAccessibility() {
  const std::uint8_t view = deviceTree_->viewKind();
  graphStandIn_->setVisible(IsWaveformView(view));
  if (!IsWaveformView(view)) return;
  const int outlet = view - NODE_WAVEFORMS;
  const AccessibleText graph = AccessibleTextOfGraph(outlet);
  graphStandIn_->setAccessibleName(QString::fromStdString(graph.name));
  graphStandIn_->setAccessibleDescription(QString::fromStdString(graph.description));
  for (int id : {ids::WAVE_VALUE, ids::WAVE_MAX, ids::WAVE_MIN}) {
    const AccessibleText text = AccessibleTextOfField(id, outlet);
    Control(id)->setAccessibleName(QString::fromStdString(text.name));
    Control(id)->setAccessibleDescription(QString::fromStdString(text.description));
  }
}

void CKvxclient_01Dlg::OnControlClicked(int id) {
  if (id == ids::CLOSE_BUTTON) {
    accept();
    return;
  }
  handlers_->Click(id);
  renderer_->RenderNow();
}

void CKvxclient_01Dlg::AddStripToTree(const std::string& label, int position) {
  QMetaObject::invokeMethod(
      this, [this, label, position] { deviceTree_->AddStripToTree(label, position); }, Qt::QueuedConnection);
}

void CKvxclient_01Dlg::RegisterInterfaceNotifications() {
  if (notificationsRegistered_.exchange(true)) return;  // the dialog's initialisation did it
  // The recount enumerates on the client's worker; only its result, the new
  // list, comes to this thread, as a queued call that the event loop runs.
  client_.RegisterNotifications(deviceTree_.get(), [this](std::function<void()> apply) {
    QMetaObject::invokeMethod(
        this,
        [this, apply = std::move(apply)] {
          if (shutDown_) return;
          apply();
          UpdateViewAccessibility();  // the rebuild hid the panels
        },
        Qt::QueuedConnection);
  });
}

void CKvxclient_01Dlg::ClickDeviceTree() {
  QMetaObject::invokeMethod(this, [this] { treeWidget_->setFocus(Qt::MouseFocusReason); }, Qt::QueuedConnection);
}

void CKvxclient_01Dlg::RequestGraphUpdate() {
  if (graphUpdateRequested_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        graphUpdateRequested_.store(false);
        update(kGraphRect);
      },
      Qt::QueuedConnection);
}

void CKvxclient_01Dlg::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  if (!IsWaveformView(deviceTree_->viewKind())) return;
  const std::uint8_t readingKind = client_.state().measurement.lastReadingKind.load();
  if (readingKind < 1 || readingKind > 4) return;  // no waveform reading since the switch
  // The plot rectangle copied once, straight into the image's rows (Format_RGB32
  // is 0xFFRRGGBB, the raster's 0x00RRGGBB made opaque).
  QImage image(kGraphRect.size(), QImage::Format_RGB32);
  static_assert(sizeof(QRgb) == sizeof(std::uint32_t));
  if (!client_.graph().CopyRectInto(WaveformGraph::PLOT_RECT, reinterpret_cast<std::uint32_t*>(image.bits()),
                                    static_cast<std::size_t>(image.bytesPerLine()) / sizeof(QRgb), 0xFF000000u)) {
    return;
  }
  QPainter painter(this);
  painter.drawImage(kGraphRect.topLeft(), image);
}

void CKvxclient_01Dlg::contextMenuEvent(QContextMenuEvent* event) {
  if (aboutText_.isEmpty()) return;
  QMenu menu(this);
  connect(menu.addAction(aboutText_), &QAction::triggered, this, &CKvxclient_01Dlg::ShowAboutBox);
  QAction* trend = menu.addAction(QStringLiteral("トレンド表示"));
  trend->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
  connect(trend, &QAction::triggered, this, &CKvxclient_01Dlg::ShowTrend);
  menu.exec(event->globalPos());
}

void CKvxclient_01Dlg::ShowTrend() {
  if (!history_ || shutDown_) return;
  if (!trend_)
    trend_ = new trend::TrendWindow(*history_, client_.recorder().directory(), historySinceMs_,
                                    client_.state().outletNames, this);
  trend_->ShowStrip(static_cast<std::uint32_t>(std::max(0, client_.state().selection.serial())));
  trend_->show();
  trend_->raise();
}

void CKvxclient_01Dlg::ShowAboutBox() {
  CAboutDlg about(this);
  about.exec();
}

void CKvxclient_01Dlg::done(int result) {
  ShutdownClient();
  QDialog::done(result);
}

void CKvxclient_01Dlg::ShutdownClient() {
  if (shutDown_) return;
  shutDown_ = true;
  // The acquisition thread is stopped and joined first; after that nothing
  // but this thread writes the model or the graph.
  client_.Shutdown();
  delete trend_;  // its loader uses the store
  trend_ = nullptr;
  client_.graph().SetInvalidateCallback(nullptr);
  renderer_->Stop();
}

}  // namespace kvx::ui
