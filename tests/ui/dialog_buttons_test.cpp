// Every change of a check box's or radio button's state reaches the control
// model and runs the button's handler, whatever made it (keyboard, the
// accessibility actions, code setting the widget), while the model shown on
// the widgets (the program's own setting) runs no handler and is not fed back.
#include <QAbstractButton>
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

class MainDialogButtonsTest : public DialogTest {
 protected:
  void StartShown() {
    AddStrips({kSerial1});
    Start();
    dialog->show();
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    ASSERT_TRUE(WaitFor([&] { return dialog->DeviceTreeWidget()->topLevelItemCount() == 1; }));
  }
  QAbstractButton* Button(int id) const { return static_cast<QAbstractButton*>(dialog->Control(id)); }
  QString Text(int id) const { return qobject_cast<QLabel*>(dialog->Control(id))->text(); }
  ControlModel& model() { return client->state().controls; }
  // Runs the button's accessibility action, as an assistive technology does.
  static void DoAction(QWidget* widget, const QString& action) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    ASSERT_NE(accessible, nullptr);
    ASSERT_NE(accessible->actionInterface(), nullptr);
    ASSERT_TRUE(accessible->actionInterface()->actionNames().contains(action));
    accessible->actionInterface()->doAction(action);
  }
  // Processes the posted events (queued renders) until none is left.
  static void Settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  }
};

TEST_F(MainDialogButtonsTest, SpaceAndArrowKeysReachTheModelAndTheHandlers) {
  StartShown();
  ClickNode(1, ui::NODE_CALCULATION);
  Button(ids::AVERAGE_CHECK)->setFocus();
  QTest::keyClick(Button(ids::AVERAGE_CHECK), Qt::Key_Space);
  EXPECT_TRUE(model().IsChecked(ids::AVERAGE_CHECK));
  QTest::keyClick(Button(ids::AVERAGE_CHECK), Qt::Key_Space);
  EXPECT_FALSE(model().IsChecked(ids::AVERAGE_CHECK));

  Button(ids::CALC_CURRENT_RADIO)->setFocus();
  QTest::keyClick(Button(ids::CALC_CURRENT_RADIO), Qt::Key_Right);
  EXPECT_TRUE(model().IsChecked(ids::CALC_POWER_RADIO));
  EXPECT_FALSE(model().IsChecked(ids::CALC_CURRENT_RADIO));
  EXPECT_EQ(client->state().selectedQuantity.load(), protocol::QUANTITY_POWER);
  for (int id : ids::UNIT_TEXT) EXPECT_EQ(Text(id), QStringLiteral("W"));
  QTest::keyClick(Button(ids::CALC_POWER_RADIO), Qt::Key_Left);
  EXPECT_TRUE(model().IsChecked(ids::CALC_CURRENT_RADIO));
  EXPECT_EQ(client->state().selectedQuantity.load(), protocol::QUANTITY_CURRENT);
  for (int id : ids::UNIT_TEXT) EXPECT_EQ(Text(id), QStringLiteral("mA"));

  ClickNode(1, ui::NODE_WAVEFORM_2);
  Button(ids::WAVE_CURRENT_RADIO)->setFocus();
  QTest::keyClick(Button(ids::WAVE_CURRENT_RADIO), Qt::Key_Right);
  EXPECT_TRUE(model().IsChecked(ids::WAVE_POWER_RADIO));
  EXPECT_EQ(Text(ids::WAVE_VALUE_CAPTION), QStringLiteral("有効電力 [W]"));
}

TEST_F(MainDialogButtonsTest, AccessibilityActionsReachTheModelAndTheHandlers) {
  StartShown();
  ClickNode(1, ui::NODE_CALCULATION);
  DoAction(Button(ids::AVERAGE_CHECK), QAccessibleActionInterface::toggleAction());
  EXPECT_TRUE(model().IsChecked(ids::AVERAGE_CHECK));
  DoAction(Button(ids::AVERAGE_CHECK), QAccessibleActionInterface::toggleAction());
  EXPECT_FALSE(model().IsChecked(ids::AVERAGE_CHECK));

  DoAction(Button(ids::CALC_POWER_RADIO), QAccessibleActionInterface::toggleAction());
  EXPECT_TRUE(model().IsChecked(ids::CALC_POWER_RADIO));
  EXPECT_FALSE(model().IsChecked(ids::CALC_CURRENT_RADIO));
  EXPECT_EQ(client->state().selectedQuantity.load(), protocol::QUANTITY_POWER);
  for (int id : ids::UNIT_TEXT) EXPECT_EQ(Text(id), QStringLiteral("W"));

  ClickNode(1, ui::NODE_WAVEFORM_1);
  DoAction(Button(ids::WAVE_POWER_RADIO), QAccessibleActionInterface::toggleAction());
  EXPECT_TRUE(model().IsChecked(ids::WAVE_POWER_RADIO));
  EXPECT_FALSE(Button(ids::WAVE_CURRENT_RADIO)->isChecked());
  EXPECT_EQ(Text(ids::WAVE_MAX_CAPTION), QStringLiteral("最 大 値 [W]"));

  // Press on a push button is a click (Qt animates it, so it lands a moment later).
  model().SetText(ids::UNIT_TEXT[0], "x");
  client->state().measurement.outletMax[0].store(5.0);
  DoAction(Button(ids::WAVE_CLEAR_BUTTON), QAccessibleActionInterface::pressAction());
  EXPECT_TRUE(WaitFor([&] { return client->state().measurement.outletMax[0].load() == 0.0; }));
}

TEST_F(MainDialogButtonsTest, CodeSettingAWidgetCountsAsAChangeUnlessTheModelRefusesIt) {
  StartShown();
  ClickNode(1, ui::NODE_WAVEFORM_3);
  Button(ids::OVERLAY_CHECK)->setChecked(true);
  EXPECT_TRUE(model().IsChecked(ids::OVERLAY_CHECK));
  Button(ids::WAVE_POWER_RADIO)->toggle();
  EXPECT_TRUE(model().IsChecked(ids::WAVE_POWER_RADIO));
  EXPECT_EQ(Text(ids::WAVE_VALUE_CAPTION), QStringLiteral("有効電力 [W]"));
  Settle();
  EXPECT_TRUE(Button(ids::OVERLAY_CHECK)->isChecked());
  EXPECT_TRUE(Button(ids::WAVE_POWER_RADIO)->isChecked());

  // The Log box is disabled in the waveform view: the model refuses the
  // change, and the widget shows the model's state again.
  ASSERT_FALSE(Button(ids::LOG_CHECK)->isEnabled());
  Button(ids::LOG_CHECK)->setChecked(true);
  EXPECT_FALSE(model().IsChecked(ids::LOG_CHECK));
  Settle();
  EXPECT_FALSE(Button(ids::LOG_CHECK)->isChecked());
}

TEST_F(MainDialogButtonsTest, TheModelShownRunsNoHandlerAndIsNotWrittenBack) {
  Start();  // no strip, so nothing but this test writes the model
  dialog->show();
  const QString caption = Text(ids::WAVE_VALUE_CAPTION);
  const std::uint64_t before = model().TakeSnapshot().version;
  model().SetCheck(ids::WAVE_CURRENT_RADIO, false);
  model().SetCheck(ids::WAVE_POWER_RADIO, true);
  model().SetCheck(ids::OVERLAY_CHECK, true);
  dialog->renderer().RenderNow();
  Settle();
  EXPECT_TRUE(Button(ids::WAVE_POWER_RADIO)->isChecked());
  EXPECT_FALSE(Button(ids::WAVE_CURRENT_RADIO)->isChecked());
  EXPECT_TRUE(Button(ids::OVERLAY_CHECK)->isChecked());
  // Three writes by the program and nothing else: the power handler did not
  // run (the caption is unchanged) and no render wrote the model.
  EXPECT_EQ(model().TakeSnapshot().version, before + 3);
  EXPECT_EQ(Text(ids::WAVE_VALUE_CAPTION), caption);
}

TEST_F(MainDialogButtonsTest, AClickOnTheCheckedRadioButtonRunsItsHandlerAgain) {
  StartShown();
  ClickNode(1, ui::NODE_CALCULATION);
  model().SetTexts({{ids::UNIT_TEXT[0], "x"}, {ids::UNIT_TEXT[1], "x"}});
  QTest::mouseClick(Button(ids::CALC_CURRENT_RADIO), Qt::LeftButton);
  EXPECT_TRUE(model().IsChecked(ids::CALC_CURRENT_RADIO));
  for (int id : ids::UNIT_TEXT) EXPECT_EQ(Text(id), QStringLiteral("mA"));
  // A mouse click on a check box is one change, not two.
  QTest::mouseClick(Button(ids::AVERAGE_CHECK), Qt::LeftButton);
  EXPECT_TRUE(model().IsChecked(ids::AVERAGE_CHECK));
  EXPECT_TRUE(Button(ids::AVERAGE_CHECK)->isChecked());
}

}  // namespace
}  // namespace kvx::test
