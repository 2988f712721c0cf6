// The device tree as the client's rebuild target: a strip's arrival rebuilds
// the tree (the list enumerated on the client's worker, applied on this
// thread) without touching the selection.
#include <gtest/gtest.h>

#include <filesystem>

#include "acquisition/control_ids.h"
#include "app/client.h"
#include "fake_tree_view.h"
#include "support/fake_clock.h"
#include "support/owner_loop.h"
#include "support/scripted_driver.h"
#include "ui/device_tree.h"

namespace kvx::test {
namespace {

class TreeRebuildTest : public ::testing::Test {
 protected:
  TreeRebuildTest() {
    view.onSelectionChanged = [this] { tree.OnTreeSelectionChanged(); };
    AddStrip(0x2C4D5);
    client.RegisterNotifications(&tree, owner.Poster());
  }
  ~TreeRebuildTest() override {
    client.Shutdown();  // no recount reaches the owner loop or the tree once they go
    std::filesystem::remove_all(directory);
  }

  void AddStrip(std::uint32_t serial) {
    driver.AddStrip(ScriptedStrip{serial, "/dev/kvx/" + std::to_string(serial)});
  }
  ui::TreeNode Node(int position, int kind) const {
    return tree.NodeAt(ui::DeviceTree::FirstSlotOf(position) + kind);
  }
  // An arrival announced, and every recount it causes run to its end.
  void Arrive() {
    const int before = client.recount()->passes();
    driver.Announce({device::DeviceEventType::Arrival, std::string(device::primaryInterfaceGuid), "p"});
    ASSERT_TRUE(owner.RunUntil([&] { return client.recount()->passes() > before && client.recount()->idle(); }));
  }
  bool AnyPanelShown() {
    for (const ControlState& c : client.state().controls.TakeSnapshot().controls) {
      if (c.visible && c.id != ids::CLOSE_BUTTON && c.id != ids::DEVICE_TREE && c.id != ids::TREE_CAPTION) return true;
    }
    return false;
  }

  ScriptedDriver driver;
  FakeClock clock;
  std::string directory =
      (std::filesystem::temp_directory_path() / ("kvx_tree_rebuild_" + std::to_string(::getpid()))).string();
  Client client{driver, clock, directory};
  FakeTreeView view;
  ui::PanelHandlers handlers{client.state(), [] {}};
  ui::DeviceTree tree{client.state(), view, handlers, {}};
  OwnerLoop owner;
};

TEST_F(TreeRebuildTest, ArrivalRebuildsTheTreeHidesThePanelsAndKeepsTheSelectedStrip) {
  // The first strip is in the list and the tree, and its calculation view is shown.
  Arrive();
  ASSERT_EQ(view.Children(ui::TreeNode::None).size(), 1u);
  view.Select(Node(1, ui::NODE_CALCULATION));
  ASSERT_TRUE(client.state().controls.IsVisible(5001));
  const int reports = view.selectionReports;

  AddStrip(0x1A2B3);  // sorts before the selected strip
  Arrive();

  const auto roots = view.Children(ui::TreeNode::None);
  ASSERT_EQ(roots.size(), 2u);
  EXPECT_EQ(view.At(roots[0]).text, "S/N=1A2B3");
  EXPECT_EQ(view.At(roots[1]).text, "S/N=2C4D5");
  EXPECT_EQ(view.NodeCount(), 14u);
  EXPECT_GT(view.selectionReports, reports);              // the deletion moved the tree's selection...
  EXPECT_EQ(client.state().selection.serial(), 0x2C4D5);  // ...which selected no other strip
  EXPECT_EQ(tree.viewKind(), ui::VIEW_NONE);
  EXPECT_FALSE(AnyPanelShown());

  view.Select(Node(2, ui::NODE_CALCULATION));  // the same kind as before: its panel comes back
  EXPECT_TRUE(client.state().controls.IsVisible(5001));
}

TEST_F(TreeRebuildTest, AnUnchangedCountLeavesTheTreeAlone) {
  Arrive();
  view.Select(Node(1, ui::NODE_STRIP));
  Arrive();
  EXPECT_EQ(tree.viewKind(), ui::NODE_STRIP);
  EXPECT_TRUE(view.deletions.empty());
}

}  // namespace
}  // namespace kvx::test
