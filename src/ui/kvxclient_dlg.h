// The main window, dialog template 102: the device tree on the left and, to
// its right, the device-information, calculation or waveform view with the
// environment row. The control model is the truth: the widgets render it at
// a bounded rate, and a user's click or any other change of a button's state
// goes into the model (the automatic button reaction) before its handler runs.
//
// Life: construct, OnInitDialog (command line ... acquisition thread start),
// exec, and on closing the client is shut down (thread stopped and joined)
// before the window's own resources go with the dialog object.
#pragma once

#include <QDialog>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/sinks.h"
#include "app/client.h"
#include "device/driver.h"
#include "ui/device_tree.h"
#include "ui/panel_handlers.h"

class QTreeWidget;

namespace kvx::history {
class HistoryStore;
}
namespace kvx::trend {
class TrendWindow;
}

namespace kvx::ui {

class ButtonWiring;
class ControlRenderer;
class QtTreeView;

class CKvxclient_01Dlg final : public QDialog, public WindowLink {
  Q_OBJECT

 public:
  CKvxclient_01Dlg(Client& client, std::string commandLineText, QWidget* parent = nullptr,
                   std::vector<std::string> programOptions = {});
  ~CKvxclient_01Dlg() override;

  // The initialisation, in order: About entry, command line, icon, value
  // font, colours, initial radio states, device notifications, acquisition
  // thread. Returns false after a command-line error, which it has shown in
  // the message box; nothing after the command line has been done then, and
  // the dialog must not be shown.
  bool OnInitDialog();

  // ---- WindowLink, called on the acquisition thread; each is carried out
  // on the user-interface thread, in the order of the calls.
  void AddStripToTree(const std::string& label, int position) override;
  void RegisterInterfaceNotifications() override;
  // A click at the tree's client point (0, 0): that point lies in the indent
  // left of the first root's button, so it focuses the tree and selects nothing.
  void ClickDeviceTree() override;

  // The widget of a control of template 102 (null for an unknown ID).
  QWidget* Control(int id) const;
  // Stands for the waveform graph (painted by the dialog) for assistive
  // technology: shown with the waveform view only, named for its outlet.
  QWidget* GraphStandIn() const { return graphStandIn_; }
  QTreeWidget* DeviceTreeWidget() const { return treeWidget_; }
  DeviceTree& deviceTree() { return *deviceTree_; }
  ControlRenderer& renderer() { return *renderer_; }

  void ShowAboutBox();
  // Opens (or raises) the trend window on the selected strip's history.
  void ShowTrend();
  trend::TrendWindow* trendWindow() const { return trend_; }
  // Stops the client (thread first) and everything that posts to the window.
  // Idempotent; runs when the dialog closes and at the latest in the destructor.
  void ShutdownClient();
  // Closing: the client is shut down before the modal loop ends.
  void done(int result) override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void CreateControls();
  void ConnectControls();
  void CreateGraphStandIn();
  void ApplyAccessibleTexts();
  // The graph's stand-in follows the view; its name and the waveform fields'
  // names follow the outlet shown.
  void UpdateViewAccessibility();
  void CreateAboutEntry();
  bool ApplyCommandLine();
  // A message that does not stop the window: shown once the window is up.
  void ShowNotice(const QString& text);
  // The title and the Log box's tooltip say where the files go and whether
  // logging fails; a notice when a failure begins. Once a second.
  void ShowLogState();
  void ApplyValueFont();
  void ApplyValueFieldColours();
  void OnControlClicked(int id);
  void RequestGraphUpdate();  // any thread

  Client& client_;
  const std::string commandLineText_;
  const std::vector<std::string> programOptions_;
  std::map<int, QWidget*> controls_;
  QTreeWidget* treeWidget_ = nullptr;
  std::unique_ptr<QtTreeView> treeView_;
  std::unique_ptr<PanelHandlers> handlers_;
  std::unique_ptr<DeviceTree> deviceTree_;
  ControlRenderer* renderer_ = nullptr;
  ButtonWiring* buttons_ = nullptr;
  QWidget* graphStandIn_ = nullptr;  // the waveform graph for assistive technology
  QString aboutText_;
  // Every accepted reading since the start, and the logs loaded when the
  // trend window asks; the window is closed before the store goes.
  std::unique_ptr<history::HistoryStore> history_;
  std::int64_t historySinceMs_ = 0;
  trend::TrendWindow* trend_ = nullptr;
  std::atomic<bool> notificationsRegistered_{false};
  std::atomic<bool> graphUpdateRequested_{false};
  bool shutDown_ = false;
  QString baseTitle_;
  std::uint64_t logEpisodesSeen_ = 0;
};

}  // namespace kvx::ui
