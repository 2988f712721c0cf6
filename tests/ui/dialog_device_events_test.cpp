// The window and device events: while the recount of a strip's arrival
// enumerates slowly, the window's event loop keeps turning and its thread does
// no device I/O at all; the tree ends up rebuilt as before.
#include <QTimer>
#include <QTreeWidget>
#include <thread>

#include "dialog_fixture.h"
#include "support/gated_driver.h"
#include "ui/control_renderer.h"

namespace kvx::test {
namespace {

class MainDialogDeviceEventsTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    client = std::make_unique<Client>(gated, DefaultClock(), logDirectory);
  }
  GatedDriver gated{driver};
};

TEST_F(MainDialogDeviceEventsTest, TheWindowTurnsWhileASlowEnumerationRunsAndTheTreeEndsUpRebuilt) {
  AddStrips({kSerial2});
  Start();
  QTreeWidget* tree = dialog->DeviceTreeWidget();
  ASSERT_TRUE(WaitFor([&] { return tree->topLevelItemCount() == 1; }));
  ClickNode(1, ui::NODE_CALCULATION);
  ASSERT_TRUE(Shown(5001));

  gated.Close();
  AddStrips({kSerial1});
  driver.Announce(device::DeviceEvent{device::DeviceEventType::Arrival, std::string(device::primaryInterfaceGuid),
                                      "/dev/kvx/new"});
  // A timer of the window's thread keeps firing while the enumeration is held.
  int turnsWhileHeld = 0;
  QTimer timer;
  timer.setInterval(1);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (gated.Held()) ++turnsWhileHeld;
  });
  timer.start();
  ASSERT_TRUE(WaitFor([&] { return turnsWhileHeld >= 20; })) << turnsWhileHeld;
  EXPECT_EQ(tree->topLevelItemCount(), 1);  // nothing applied before the list is complete
  EXPECT_TRUE(Shown(5001));

  gated.Open();
  ASSERT_TRUE(WaitFor([&] { return tree->topLevelItemCount() == 2; }));
  EXPECT_EQ(tree->topLevelItem(0)->text(0), QStringLiteral("S/N=1A2B3"));
  EXPECT_EQ(tree->topLevelItem(1)->text(0), QStringLiteral("S/N=2C4D5"));
  EXPECT_EQ(dialog->deviceTree().viewKind(), ui::VIEW_NONE);
  EXPECT_EQ(client->state().selection.serial(), static_cast<std::int32_t>(kSerial2));
  dialog->renderer().RenderNow();
  EXPECT_FALSE(Shown(5001));
  EXPECT_FALSE(gated.DeviceIoOn(std::this_thread::get_id()));
}

}  // namespace
}  // namespace kvx::test
