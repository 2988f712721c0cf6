#include "dialog_fixture.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>

#include "support/wait_for.h"
#include "ui/qt_tree_view.h"

namespace kvx::test {

namespace {

// Qt must see its application object destroyed before main() returns, so it
// belongs to a test environment, not to a static.
class QtEnvironment final : public ::testing::Environment {
 public:
  void TearDown() override { application.reset(); }
  std::unique_ptr<QApplication> application;
};

QtEnvironment* const kQtEnvironment =
    static_cast<QtEnvironment*>(::testing::AddGlobalTestEnvironment(new QtEnvironment));

}  // namespace

void EnsureApplication() {
  if (QApplication::instance()) return;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "ui_dialog_test";
  static char* argv[] = {name, nullptr};
  kQtEnvironment->application = std::make_unique<QApplication>(argc, argv);
}

void OnNextModal(std::function<void(QWidget*)> inspect) {
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [inspect = std::move(inspect), poll] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      inspect(modal);
      *poll = nullptr;  // breaks the self-reference once done
      return;
    }
    QTimer::singleShot(10, *poll);
  };
  QTimer::singleShot(0, *poll);
}

void DialogTest::SetUp() {
  logDirectory = scratch.path();
  client = std::make_unique<Client>(driver, DefaultClock(), logDirectory);
}

void DialogTest::TearDown() {
  dialog.reset();  // shuts the client down (thread joined) before it goes
  client.reset();
}

void DialogTest::AddStrips(std::initializer_list<std::uint32_t> serials) {
  for (std::uint32_t serial : serials) driver.AddStrip(ScriptedStrip{serial, "/dev/kvx/" + std::to_string(serial)});
}

void DialogTest::Create(const std::string& commandLine) {
  dialog = std::make_unique<ui::CKvxclient_01Dlg>(*client, commandLine);
}

void DialogTest::Start(const std::string& commandLine) {
  Create(commandLine);
  ASSERT_TRUE(dialog->OnInitDialog());
}

bool DialogTest::WaitFor(const std::function<bool()>& condition) {
  return test::WaitFor(condition, [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QTest::qWait(5);
  });
}

void DialogTest::ClickNode(int position, int kind) {
  const ui::TreeNode node = dialog->deviceTree().NodeAt(ui::DeviceTree::FirstSlotOf(position) + kind);
  ASSERT_NE(node, ui::TreeNode::None);
  QTreeWidgetItem* item = ui::QtTreeView::ItemOf(node);
  for (QTreeWidgetItem* parent = item->parent(); parent; parent = parent->parent()) parent->setExpanded(true);
  QTreeWidget* tree = dialog->DeviceTreeWidget();
  tree->scrollToItem(item);
  const QRect rect = tree->visualItemRect(item);
  ASSERT_TRUE(rect.isValid());
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

}  // namespace kvx::test
