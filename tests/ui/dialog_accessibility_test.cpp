// The window as assistive technology sees it through Qt's accessibility
// interfaces (the objects the AT-SPI bridge serves): value fields with names,
// descriptions and their numbers as text, the graph's stand-in, and tree
// items that expand, collapse and select by their actions.
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>

#include "acquisition/control_ids.h"
#include "dialog_fixture.h"
#include "ui/control_renderer.h"

namespace kvx::test {
namespace {

class MainDialogAccessibilityTest : public DialogTest {
 protected:
  void StartWithStrips() {
    AddStrips({kSerial1, kSerial2});
    Start();
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    ASSERT_TRUE(WaitFor([&] { return dialog->DeviceTreeWidget()->topLevelItemCount() == 2; }));
  }
  static QAccessibleInterface* Accessible(QWidget* widget) { return QAccessible::queryAccessibleInterface(widget); }
  QAccessibleInterface* Tree() const { return Accessible(dialog->DeviceTreeWidget()); }
  // The tree's child named `name`, or named after its strip and `name` (child 0 is the header).
  QAccessibleInterface* Item(const QString& name) const {
    for (int i = 1; i < Tree()->childCount(); ++i) {
      const QString text = Tree()->child(i)->text(QAccessible::Name);
      if (text == name || text.endsWith(QLatin1Char(' ') + name)) return Tree()->child(i);
    }
    return nullptr;
  }
  static void Act(QAccessibleInterface* item, const QString& action) {
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(item->actionInterface()->actionNames().contains(action)) << item->text(QAccessible::Name).toStdString();
    item->actionInterface()->doAction(action);
  }
  static QString Content(QAccessibleInterface* field) {
    return field->textInterface()->text(0, field->textInterface()->characterCount());
  }
};

TEST_F(MainDialogAccessibilityTest, ValueFieldsAreNamedAndDescribedAndSayTheirNumbers) {
  Start();
  const std::map<int, QString> names = {
      {5013, "１番 現在値"}, {5019, "２番 現在値"}, {5011, "１番 最大値"}, {5030, "４番 最小値"},
      {5022, "３番 瞬時値"}, {3002, "入力電圧"},   {3006, "周波数"},     {3004, "庫内温度"},
      {6003, "波形 現在値"}, {6005, "波形 最大値"}, {6007, "波形 最小値"}, {4003, "シリアル番号"}};
  for (const auto& [id, name] : names) EXPECT_EQ(Accessible(dialog->Control(id))->text(QAccessible::Name), name) << id;
  for (int id : ids::VALUE_FIELDS) {
    QAccessibleInterface* field = Accessible(dialog->Control(id));
    EXPECT_EQ(field->role(), QAccessible::StaticText) << id;
    EXPECT_FALSE(field->text(QAccessible::Description).isEmpty()) << id;
    ASSERT_NE(field->textInterface(), nullptr) << id;
    // The placeholder is still what the field shows, and what it says.
    EXPECT_EQ(Content(field), qobject_cast<QLabel*>(dialog->Control(id))->text()) << id;
  }
  EXPECT_EQ(qobject_cast<QLabel*>(dialog->Control(5013))->text(), QStringLiteral("(CH1NOW)"));

  client->state().controls.SetText(5013, "1234");
  dialog->renderer().RenderNow();
  QAccessibleInterface* present = Accessible(dialog->Control(5013));
  EXPECT_EQ(Content(present), QStringLiteral("1234"));
  EXPECT_EQ(present->textInterface()->text(1, 3), QStringLiteral("23"));
  EXPECT_EQ(present->text(QAccessible::Name), QStringLiteral("１番 現在値"));
  // Other labels keep Qt's own description: their text is their name.
  EXPECT_EQ(Accessible(dialog->Control(5005))->text(QAccessible::Name), QStringLiteral("最大値"));
}

TEST_F(MainDialogAccessibilityTest, TheGraphStandsInTheWaveformViewNamedForItsOutlet) {
  StartWithStrips();
  QWidget* graph = dialog->GraphStandIn();
  EXPECT_TRUE(graph->isHidden());
  ClickNode(1, ui::NODE_WAVEFORM_3);
  EXPECT_FALSE(graph->isHidden());
  EXPECT_EQ(Accessible(graph)->role(), QAccessible::Chart);
  EXPECT_EQ(Accessible(graph)->text(QAccessible::Name), QStringLiteral("３番波形"));
  EXPECT_FALSE(Accessible(graph)->text(QAccessible::Description).isEmpty());
  EXPECT_EQ(Accessible(dialog->Control(ids::WAVE_VALUE))->text(QAccessible::Name), QStringLiteral("３番波形 現在値"));
  EXPECT_EQ(Accessible(dialog->Control(ids::WAVE_MIN))->text(QAccessible::Name), QStringLiteral("３番波形 最小値"));
  // Clicks on the graph still reach the dialog beneath it.
  EXPECT_TRUE(graph->testAttribute(Qt::WA_TransparentForMouseEvents));
  ClickNode(1, ui::NODE_CALCULATION);
  EXPECT_TRUE(graph->isHidden());
}

TEST_F(MainDialogAccessibilityTest, TreeItemsExpandCollapseAndSelectByTheirActions) {
  StartWithStrips();
  ASSERT_EQ(Tree()->childCount(), 3);  // the header and two strips
  QAccessibleInterface* strip = Item("S/N=1A2B3");
  ASSERT_NE(strip, nullptr);
  EXPECT_TRUE(strip->state().collapsed);
  EXPECT_EQ(strip->parent(), Tree());
  Act(strip, "Expand");
  EXPECT_TRUE(strip->state().expanded);
  EXPECT_EQ(Tree()->childCount(), 5);
  Act(Item("波形の観察"), "Expand");
  ASSERT_EQ(Tree()->childCount(), 9);
  // Children in display order, at the places Qt's own events name them.
  // Below a strip, each name starts with the strip's, so two strips' nodes differ.
  const QString strip1 = Tree()->child(1)->text(QAccessible::Name);
  EXPECT_TRUE(strip1.startsWith(QStringLiteral("S/N="))) << strip1.toStdString();
  EXPECT_EQ(Tree()->child(2)->text(QAccessible::Name), strip1 + QStringLiteral(" 測定値計算"));
  EXPECT_EQ(Tree()->child(7)->text(QAccessible::Name), strip1 + QStringLiteral(" ４番波形"));
  EXPECT_EQ(Tree()->indexOfChild(Item("２番波形")), 5);
  EXPECT_EQ(Item("２番波形")->actionInterface()->actionNames(), QStringList{"Press"});

  Act(Item("２番波形"), "Press");
  EXPECT_EQ(dialog->deviceTree().viewKind(), ui::NODE_WAVEFORM_2);
  EXPECT_EQ(client->state().selectedOutlet.load(), 2);
  EXPECT_EQ(client->state().selection.serial(), static_cast<std::int32_t>(kSerial1));
  EXPECT_TRUE(Shown(ids::WAVE_VALUE));
  EXPECT_TRUE(Tree()->child(5)->state().selected);
  EXPECT_TRUE(dialog->DeviceTreeWidget()->hasFocus());

  Act(Item("S/N=2C4D5"), "Press");
  EXPECT_EQ(client->state().selection.serial(), static_cast<std::int32_t>(kSerial2));
  EXPECT_TRUE(Shown(ids::SERIAL_VALUE));

  Act(strip, "Collapse");
  EXPECT_EQ(Tree()->childCount(), 3);
  EXPECT_EQ(Item("測定値計算"), nullptr);
}

TEST_F(MainDialogAccessibilityTest, TreeItemsGoWithARebuildAndComeBackWithIt) {
  // Active, as with a screen reader listening: the items are announced and withdrawn.
  QAccessible::setActive(true);
  struct Inactive {
    ~Inactive() { QAccessible::setActive(false); }
  } inactive;
  StartWithStrips();
  Act(Item("S/N=1A2B3"), "Expand");
  QAccessibleInterface* calculation = Item("測定値計算");
  ASSERT_NE(calculation, nullptr);
  const QAccessible::Id id = QAccessible::uniqueId(calculation);
  dialog->deviceTree().DeleteAllStripItems();
  EXPECT_EQ(Tree()->childCount(), 1);
  EXPECT_EQ(QAccessible::accessibleInterface(id), nullptr);  // withdrawn, not dangling
  dialog->deviceTree().AddStripToTree("S/N=1A2B3", 1);
  ASSERT_EQ(Tree()->childCount(), 2);
  Act(Item("S/N=1A2B3"), "Expand");
  Act(Item("測定値計算"), "Press");
  EXPECT_EQ(client->state().selection.serial(), static_cast<std::int32_t>(kSerial1));
  Act(Item("S/N=1A2B3"), "Collapse");
  EXPECT_EQ(Tree()->childCount(), 2);
}

}  // namespace
}  // namespace kvx::test
