// The main dialog at work: tree clicks switch the views, clicks go through the
// model, a burst of model changes costs one render, the start-up click on the
// tree, the graph copy and the rebuild on a strip's arrival.
#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>
#include <cmath>
#include <thread>

#include "acquisition/control_ids.h"
#include "dialog_fixture.h"
#include "graph/waveform_graph.h"
#include "ui/control_renderer.h"

namespace kvx::test {
namespace {

class MainDialogViewsTest : public DialogTest {
 protected:
  // Starts with two strips and waits until the acquisition thread has put them into the tree.
  void StartWithStrips() {
    AddStrips({kSerial1, kSerial2});
    Start();
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    ASSERT_TRUE(WaitFor([&] { return dialog->DeviceTreeWidget()->topLevelItemCount() == 2; }));
  }
  std::int32_t SelectedSerial() const { return client->state().selection.serial(); }
};

TEST_F(MainDialogViewsTest, TheTreeListsEveryStripCollapsed) {
  StartWithStrips();
  QTreeWidget* tree = dialog->DeviceTreeWidget();
  EXPECT_EQ(tree->topLevelItem(0)->text(0), QStringLiteral("S/N=1A2B3"));
  EXPECT_EQ(tree->topLevelItem(1)->text(0), QStringLiteral("S/N=2C4D5"));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(tree->topLevelItem(i)->isExpanded());
    EXPECT_FALSE(tree->topLevelItem(i)->icon(0).isNull());
  }
  EXPECT_TRUE(tree->selectedItems().isEmpty());
  EXPECT_TRUE(tree->rootIsDecorated());
  EXPECT_EQ(tree->iconSize(), QSize(16, 16));
}

TEST_F(MainDialogViewsTest, ClickingThroughTheTreeSwitchesTheViews) {
  StartWithStrips();
  ClickNode(1, ui::NODE_STRIP);
  EXPECT_EQ(SelectedSerial(), static_cast<std::int32_t>(kSerial1));
  EXPECT_TRUE(Shown(4001) && Shown(4005) && Shown(3000) && Shown(3006));
  EXPECT_FALSE(Shown(5001) || Shown(6002));

  ClickNode(1, ui::NODE_CALCULATION);
  EXPECT_TRUE(Shown(5001) && Shown(5033) && Shown(3000));
  EXPECT_FALSE(Shown(4001) || Shown(6019));
  EXPECT_TRUE(dialog->Control(ids::LOG_CHECK)->isEnabled());

  ClickNode(1, ui::NODE_WAVEFORM_2);
  EXPECT_TRUE(Shown(6002) && Shown(6019) && Shown(3000));
  EXPECT_FALSE(Shown(5001) || Shown(4001));
  EXPECT_FALSE(dialog->Control(ids::LOG_CHECK)->isEnabled());
  EXPECT_EQ(client->state().selectedOutlet.load(), 2);
  EXPECT_EQ(qobject_cast<QLabel*>(dialog->Control(6002))->text(), QStringLiteral("実効電流 [mA]"));
  EXPECT_EQ(qobject_cast<QLabel*>(dialog->Control(6003))->text(), QString());

  ClickNode(2, ui::NODE_STRIP);
  EXPECT_EQ(SelectedSerial(), static_cast<std::int32_t>(kSerial2));
  EXPECT_TRUE(Shown(4001));
  EXPECT_FALSE(Shown(6002));
  EXPECT_TRUE(dialog->Control(ids::LOG_CHECK)->isEnabled());
}

TEST_F(MainDialogViewsTest, ARadioClickGoesIntoTheModelBeforeItsHandler) {
  StartWithStrips();
  ClickNode(1, ui::NODE_CALCULATION);
  QTest::mouseClick(dialog->Control(ids::CALC_POWER_RADIO), Qt::LeftButton);
  ControlModel& model = client->state().controls;
  EXPECT_TRUE(model.IsChecked(ids::CALC_POWER_RADIO));
  EXPECT_FALSE(model.IsChecked(ids::CALC_CURRENT_RADIO));
  EXPECT_EQ(client->state().selectedQuantity.load(), protocol::QUANTITY_POWER);
  EXPECT_FALSE(static_cast<QAbstractButton*>(dialog->Control(ids::CALC_CURRENT_RADIO))->isChecked());
  for (int id : ids::UNIT_TEXT) EXPECT_EQ(qobject_cast<QLabel*>(dialog->Control(id))->text(), QStringLiteral("W"));
}

TEST_F(MainDialogViewsTest, UncheckedByTheModelMeansUncheckedOnScreen) {
  Start();
  // A check the model took back is taken back on screen too, even in an
  // exclusive group, where Qt alone would refuse to uncheck the last button.
  client->state().controls.SetCheck(6016, false);
  dialog->renderer().RenderNow();
  EXPECT_FALSE(static_cast<QAbstractButton*>(dialog->Control(6016))->isChecked());
  EXPECT_FALSE(client->state().controls.IsChecked(6016));
}

TEST_F(MainDialogViewsTest, ABurstOfModelChangesFromAnotherThreadCostsOneRender) {
  Start();
  ASSERT_TRUE(WaitFor([] { return true; }));
  dialog->renderer().RenderNow();
  const std::uint64_t before = dialog->renderer().renderCount();
  std::thread writer([&] {
    for (int i = 0; i < 10000; ++i) client->state().controls.SetText(5013, std::to_string(i));
  });
  writer.join();
  auto* field = qobject_cast<QLabel*>(dialog->Control(5013));
  ASSERT_TRUE(WaitFor([&] { return field->text() == QStringLiteral("9999"); }));
  QTest::qWait(3 * ui::ControlRenderer::MIN_RENDER_INTERVAL_MS);  // let any further render happen
  EXPECT_EQ(dialog->renderer().renderCount() - before, 1u);
}

TEST_F(MainDialogViewsTest, StartUpClickFocusesTheTreeAndSelectsNothing) {
  StartWithStrips();
  dialog->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  dialog->Control(ids::CLOSE_BUTTON)->setFocus();
  dialog->ClickDeviceTree();
  ASSERT_TRUE(WaitFor([&] { return dialog->DeviceTreeWidget()->hasFocus(); }));
  EXPECT_TRUE(dialog->DeviceTreeWidget()->selectedItems().isEmpty());
  EXPECT_EQ(dialog->deviceTree().viewKind(), ui::VIEW_NONE);
  EXPECT_EQ(SelectedSerial(), 0);
}

TEST_F(MainDialogViewsTest, WaveformViewCopiesTheGraphOnlyOnceAWaveformReadingArrived) {
  StartWithStrips();
  ClickNode(1, ui::NODE_WAVEFORM_1);
  std::array<double, protocol::WAVEFORM_SAMPLES> frame{};
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = 30000.0 + 200.0 * std::sin(static_cast<double>(i) / 10.0);
  client->graph().DrawWaveform(frame, 29800.0, 30200.0);
  const QColor background = dialog->palette().color(QPalette::Window);

  client->state().measurement.lastReadingKind.store(0);  // a summary reading: no copy
  QImage shown = dialog->grab().toImage();
  EXPECT_EQ(shown.pixelColor(400, 41), background);

  client->state().measurement.lastReadingKind.store(1);
  shown = dialog->grab().toImage();
  int differing = 0;
  for (int y = 17; y < 177; ++y) {
    for (int x = 282; x < 562; ++x) {
      if ((shown.pixel(x, y) & 0xFFFFFFu) != client->graph().Pixel(x, y)) ++differing;
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_EQ(client->graph().Pixel(400, 41), 0xC0C0C0u);  // a grid line, so the copy is not just background
}

TEST_F(MainDialogViewsTest, AStripsArrivalRebuildsTheTreeAndKeepsTheSelectedStrip) {
  AddStrips({kSerial2});
  Start();
  ASSERT_TRUE(WaitFor([&] { return dialog->DeviceTreeWidget()->topLevelItemCount() == 1; }));
  ClickNode(1, ui::NODE_CALCULATION);
  ASSERT_TRUE(Shown(5001));
  AddStrips({kSerial1});
  driver.Announce(device::DeviceEvent{device::DeviceEventType::Arrival, std::string(device::primaryInterfaceGuid),
                                      "/dev/kvx/new"});
  QTreeWidget* tree = dialog->DeviceTreeWidget();
  ASSERT_TRUE(WaitFor([&] { return tree->topLevelItemCount() == 2; }));
  dialog->renderer().RenderNow();
  EXPECT_EQ(tree->topLevelItem(0)->text(0), QStringLiteral("S/N=1A2B3"));
  EXPECT_EQ(tree->topLevelItem(1)->text(0), QStringLiteral("S/N=2C4D5"));
  EXPECT_EQ(dialog->deviceTree().viewKind(), ui::VIEW_NONE);
  EXPECT_TRUE(tree->selectedItems().isEmpty());
  EXPECT_EQ(SelectedSerial(), static_cast<std::int32_t>(kSerial2));
  EXPECT_FALSE(Shown(5001) || Shown(3000) || Shown(4001) || Shown(6002));
  ClickNode(2, ui::NODE_CALCULATION);  // the same kind as before shows its panel again
  EXPECT_TRUE(Shown(5001));
}

}  // namespace
}  // namespace kvx::test
