#include "ui/screenshot.h"

#include <QPixmap>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <memory>

#include "app/exit_status.h"
#include "trend/trend_window.h"
#include "ui/control_renderer.h"
#include "ui/kvxclient_dlg.h"
#include "ui/qt_tree_view.h"

namespace kvx::ui {

namespace {

// How often, and for how long, the tree is checked for the node.
constexpr int kPollMs = 20;
constexpr int kNodeTimeoutMs = 10000;

class ScreenshotRun {
 public:
  ScreenshotRun(CKvxclient_01Dlg& dialog, const WindowOptions& options) : dialog_(dialog), options_(options) {}

  int Run() {
    dialog_.show();
    QTimer::singleShot(kPollMs, [this] { WaitForNode(0); });
    dialog_.exec();
    return status_;
  }

 private:
  void WaitForNode(int waitedMs) {
    const NodeRef node = options_.select.value_or(NodeRef{1, 0});
    const TreeNode handle = dialog_.deviceTree().NodeAt(DeviceTree::FirstSlotOf(node.position) + node.kind);
    if (handle == TreeNode::None) {
      if (waitedMs >= kNodeTimeoutMs) return Finish("the node never appeared in the device tree");
      QTimer::singleShot(kPollMs, [this, waitedMs] { WaitForNode(waitedMs + kPollMs); });
      return;
    }
    if (options_.select) Select(QtTreeView::ItemOf(handle));
    QTimer::singleShot(options_.waitMs, [this] { Capture(); });
  }

  // As a user's click does: the tree takes the focus and the item is selected.
  void Select(QTreeWidgetItem* item) {
    for (QTreeWidgetItem* parent = item->parent(); parent; parent = parent->parent()) parent->setExpanded(true);
    QTreeWidget* tree = dialog_.DeviceTreeWidget();
    dialog_.activateWindow();
    tree->setFocus(Qt::MouseFocusReason);
    tree->setCurrentItem(item);
  }

  void Capture() {
    dialog_.renderer().RenderNow();
    // With --trend the picture is the trend window's.
    QWidget* window = options_.trend && dialog_.trendWindow() ? static_cast<QWidget*>(dialog_.trendWindow()) : &dialog_;
    const QPixmap picture = window->grab();
    if (!picture.save(QString::fromStdString(options_.screenshotFile), "PNG")) {
      return Finish("cannot write " + options_.screenshotFile);
    }
    status_ = EXIT_CLEAN_STOP;
    dialog_.done(0);
  }

  void Finish(const std::string& error) {
    std::fprintf(stderr, "screenshot: %s\n", error.c_str());
    dialog_.done(1);
  }

  CKvxclient_01Dlg& dialog_;
  const WindowOptions& options_;
  int status_ = EXIT_FAILURE_STATUS;
};

}  // namespace

int RunScreenshot(CKvxclient_01Dlg& dialog, const WindowOptions& options) {
  ScreenshotRun run(dialog, options);
  return run.Run();
}

}  // namespace kvx::ui
