// The device tree logic: nodes and images of each strip, deletion order,
// every branch of the selection handler, the rebuild and more than four strips.
#include <gtest/gtest.h>

#include <algorithm>

#include "acquisition/control_ids.h"
#include "logic_fixture.h"

namespace kvx::test {
namespace {

using ui::DeviceTree;
using ui::TreeNode;

std::vector<int> IdsOf(std::initializer_list<ids::IdRange> ranges, const ControlModel& controls) {
  std::vector<int> result;
  for (const ControlState& c : controls.TakeSnapshot().controls) {
    for (const ids::IdRange& r : ranges) {
      if (c.id >= r.first && c.id <= r.last) result.push_back(c.id);
    }
  }
  std::sort(result.begin(), result.end());
  return result;
}

// Window-level controls that never hide, plus the given panels.
std::vector<int> ViewIds(std::initializer_list<ids::IdRange> panels, const ControlModel& controls) {
  std::vector<int> result = IdsOf(panels, controls);
  for (int id : {ids::CLOSE_BUTTON, ids::DEVICE_TREE, ids::TREE_CAPTION}) result.push_back(id);
  std::sort(result.begin(), result.end());
  return result;
}

class DeviceTreeTest : public LogicTest {};

TEST_F(DeviceTreeTest, EachStripGetsItsSevenNodesUnderItsSerialNumber) {
  Plug({kSerial2, kSerial1});
  const std::vector<TreeNode> roots = view.Children(TreeNode::None);
  ASSERT_EQ(roots.size(), 2u);
  EXPECT_EQ(view.At(roots[0]).text, "S/N=1A2B3");  // ascending serial numbers
  EXPECT_EQ(view.At(roots[1]).text, "S/N=2C4D5");
  for (int position : {1, 2}) {
    EXPECT_EQ(Node(position, ui::NODE_STRIP), roots[static_cast<std::size_t>(position - 1)]);
    const auto children = view.Children(Node(position, ui::NODE_STRIP));
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(view.At(children[0]).text, "測定値計算");
    EXPECT_EQ(view.At(children[1]).text, "波形の観察");
    EXPECT_EQ(children[0], Node(position, ui::NODE_CALCULATION));
    EXPECT_EQ(children[1], Node(position, ui::NODE_WAVEFORMS));
    const auto waves = view.Children(Node(position, ui::NODE_WAVEFORMS));
    ASSERT_EQ(waves.size(), 4u);
    const char* texts[] = {"１番波形", "２番波形", "３番波形", "４番波形"};
    for (int n = 0; n < 4; ++n) {
      EXPECT_EQ(view.At(waves[static_cast<std::size_t>(n)]).text, texts[n]);
      EXPECT_EQ(waves[static_cast<std::size_t>(n)], Node(position, ui::NODE_WAVEFORM_1 + n));
    }
  }
  EXPECT_EQ(view.NodeCount(), 14u);
  EXPECT_EQ(tree.SlotCount(), 14);
}

TEST_F(DeviceTreeTest, ImageListIsCreatedOnceAndEveryNodeShowsTheOpenFolderWhenSelected) {
  EXPECT_FALSE(tree.imageListReady());
  Plug({kSerial1, kSerial2});
  EXPECT_TRUE(tree.imageListReady());
  ASSERT_EQ(view.imageLists.size(), 1u);
  ASSERT_EQ(view.imageLists[0].size(), 2u);
  EXPECT_EQ(view.imageLists[0][0], resources::FolderClosedBitmap());
  EXPECT_EQ(view.imageLists[0][1], resources::FolderOpenBitmap());
  for (int slot = 0; slot < tree.SlotCount(); ++slot) {
    EXPECT_EQ(view.At(tree.NodeAt(slot)).image, 0) << slot;
    EXPECT_EQ(view.At(tree.NodeAt(slot)).selectedImage, 1) << slot;
  }
}

TEST_F(DeviceTreeTest, DeleteStripItemsRemovesChildrenBeforeParentsAndEmptiesTheSlots) {
  Plug({kSerial1, kSerial2});
  std::vector<TreeNode> expected;
  for (int kind = 6; kind >= 0; --kind) expected.push_back(Node(2, kind));
  tree.DeleteStripItems(DeviceTree::FirstSlotOf(2));
  EXPECT_EQ(view.deletions, expected);
  EXPECT_FALSE(view.deletedWithChildren);
  for (int kind = 0; kind < 7; ++kind) EXPECT_EQ(Node(2, kind), TreeNode::None);
  EXPECT_EQ(view.NodeCount(), 7u);
  tree.DeleteStripItems(DeviceTree::FirstSlotOf(2));  // empty slots: nothing to delete
  EXPECT_EQ(view.deletions.size(), 7u);
}

TEST_F(DeviceTreeTest, NothingIsSelectedAtStart) {
  Plug({kSerial1});
  EXPECT_EQ(tree.viewKind(), ui::VIEW_NONE);
  EXPECT_EQ(VisibleIds(), ViewIds({}, state.controls));
  EXPECT_EQ(state.selection.serial(), 0);
}

TEST_F(DeviceTreeTest, SerialNumberNodeShowsDeviceInformationAndEnvironment) {
  Plug({kSerial1});
  // The other panels on and this view's off, so every step shows in the trace.
  state.controls.ShowControlRange(5001, 6019, true);
  state.controls.Enable(ids::LOG_CHECK, false);
  trace.Clear();
  state.selectedOutlet.store(3);
  DirtyStatistics();
  Select(1, ui::NODE_STRIP);
  EXPECT_EQ(trace.entries(), (std::vector<std::string>{"clear graph", "hide 6002..6019", "hide 5001..5033",
                                                        "show 3000..3006", "enable 3000", "show 4001..4005"}));
  EXPECT_EQ(VisibleIds(), ViewIds({ids::DEVICE_INFO_PANEL, ids::ENVIRONMENT_ROW}, state.controls));
  EXPECT_EQ(tree.viewKind(), ui::NODE_STRIP);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial1));
  EXPECT_EQ(state.selectedOutlet.load(), 3);  // unchanged
  EXPECT_FALSE(StatisticsAreReset());          // unchanged
}

TEST_F(DeviceTreeTest, CalculationNodeShowsCalculationPanelInCurrent) {
  Plug({kSerial1});
  state.controls.ShowControlRange(4001, 4005, true);
  state.controls.ShowControlRange(6002, 6019, true);
  state.controls.Enable(ids::LOG_CHECK, false);
  state.controls.SetTexts({{5014, "W"}, {5020, "W"}, {5026, "W"}, {5032, "W"}});
  trace.Clear();
  state.selectedOutlet.store(2);
  state.selectedQuantity.store(protocol::QUANTITY_POWER);
  DirtyStatistics();
  Select(1, ui::NODE_CALCULATION);
  EXPECT_EQ(trace.entries(),
            (std::vector<std::string>{"text 5014=mA", "text 5020=mA", "text 5026=mA", "text 5032=mA", "clear graph",
                                      "hide 4001..4005", "hide 6002..6019", "show 3000..3006", "enable 3000",
                                      "show 5001..5033"}));
  EXPECT_EQ(VisibleIds(), ViewIds({ids::CALCULATION_PANEL, ids::ENVIRONMENT_ROW}, state.controls));
  EXPECT_EQ(state.selectedOutlet.load(), 0);
  EXPECT_EQ(state.selectedQuantity.load(), protocol::QUANTITY_CURRENT);
  EXPECT_TRUE(StatisticsAreReset());
  EXPECT_EQ(tree.viewKind(), ui::NODE_CALCULATION);
}

TEST_F(DeviceTreeTest, CalculationNodeWithPowerCheckedKeepsPower) {
  Plug({kSerial1});
  state.controls.SetCheck(ids::CALC_CURRENT_RADIO, false);
  state.controls.SetCheck(ids::CALC_POWER_RADIO, true);
  Select(1, ui::NODE_CALCULATION);
  EXPECT_EQ(state.selectedQuantity.load(), protocol::QUANTITY_POWER);
  for (int id : ids::UNIT_TEXT) EXPECT_EQ(state.controls.GetText(id), "W");
  EXPECT_EQ(state.selectedOutlet.load(), 0);
}

TEST_F(DeviceTreeTest, EveryWaveformNodeShowsTheWaveformPanelOfItsOutlet) {
  Plug({kSerial1});
  for (int outlet = 1; outlet <= 4; ++outlet) {
    Select(1, ui::NODE_CALCULATION);  // leave the waveform view, so each outlet is a switch
    state.controls.ShowControlRange(3000, 3006, false);
    state.controls.ShowControlRange(4001, 4005, true);
    state.controls.SetTexts({{6003, "12.34"}, {6005, "56.78"}, {6007, "0.12"}});
    state.controls.SetText(6002, "old");
    trace.Clear();
    DirtyStatistics();
    Select(1, ui::NODE_WAVEFORMS + outlet);
    EXPECT_EQ(trace.entries(),
              (std::vector<std::string>{"create graph", "hide 4001..4005", "hide 5001..5033", "show 3000..3006",
                                        "disable 3000", "show 6002..6019", "text 6002=実効電流 [mA]", "text 6003=",
                                        "text 6005=", "text 6007="}))
        << outlet;
    EXPECT_EQ(VisibleIds(), ViewIds({ids::WAVEFORM_PANEL, ids::ENVIRONMENT_ROW}, state.controls)) << outlet;
    EXPECT_FALSE(state.controls.IsEnabled(ids::LOG_CHECK));
    EXPECT_TRUE(state.controls.IsVisible(ids::LOG_CHECK));
    EXPECT_EQ(state.selectedOutlet.load(), outlet);
    EXPECT_TRUE(StatisticsAreReset());
    EXPECT_EQ(tree.viewKind(), ui::NODE_WAVEFORMS + outlet);
  }
}

TEST_F(DeviceTreeTest, WaveformViewInPowerShowsPowerCaptions) {
  Plug({kSerial1});
  state.controls.SetCheck(ids::WAVE_CURRENT_RADIO, false);
  state.controls.SetCheck(ids::WAVE_POWER_RADIO, true);
  Select(1, ui::NODE_WAVEFORM_2);
  EXPECT_EQ(state.controls.GetText(6002), "有効電力 [W]");
  EXPECT_EQ(state.controls.GetText(6004), "最 大 値 [W]");
  EXPECT_EQ(state.controls.GetText(6006), "最 小 値 [W]");
}

TEST_F(DeviceTreeTest, LogBoxIsDisabledOnlyInTheWaveformView) {
  Plug({kSerial1});
  Select(1, ui::NODE_WAVEFORM_1);
  EXPECT_FALSE(state.controls.IsEnabled(ids::LOG_CHECK));
  EXPECT_FALSE(state.controls.Click(ids::LOG_CHECK));  // cannot be changed
  Select(1, ui::NODE_STRIP);
  EXPECT_TRUE(state.controls.IsEnabled(ids::LOG_CHECK));
  Select(1, ui::NODE_WAVEFORM_4);
  Select(1, ui::NODE_CALCULATION);
  EXPECT_TRUE(state.controls.IsEnabled(ids::LOG_CHECK));
  EXPECT_TRUE(state.controls.IsVisible(ids::LOG_CHECK));
}

TEST_F(DeviceTreeTest, SecondStripsSerialNodeSelectsItAndShowsDeviceInformation) {
  Plug({kSerial1, kSerial2});
  Select(1, ui::NODE_CALCULATION);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial1));
  Select(2, ui::NODE_STRIP);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial2));
  EXPECT_EQ(VisibleIds(), ViewIds({ids::DEVICE_INFO_PANEL, ids::ENVIRONMENT_ROW}, state.controls));
}

TEST_F(DeviceTreeTest, AnotherOutletOfTheSameStripSetsTheWaveformViewUpAgain) {
  Plug({kSerial1});
  Select(1, ui::NODE_WAVEFORM_1);
  EXPECT_EQ(state.selectedOutlet.load(), 1);
  state.controls.SetTexts({{6002, "old"}, {6003, "1.00"}, {6005, "2.00"}, {6007, "0.50"}});
  DirtyStatistics();
  trace.Clear();
  Select(1, ui::NODE_WAVEFORM_3);
  EXPECT_EQ(state.selectedOutlet.load(), 3);
  EXPECT_EQ(trace.entries(), (std::vector<std::string>{"create graph", "text 6002=実効電流 [mA]", "text 6003=",
                                                       "text 6005=", "text 6007="}));
  EXPECT_TRUE(StatisticsAreReset());
}

// The read loop ends its connection at every change of the selection, a
// passing 0 included: moving between the nodes of the strip being polled
// must not change it at all.
TEST_F(DeviceTreeTest, NodesOfTheSelectedStripLeaveTheSelectionUnchanged) {
  Plug({kSerial1, kSerial2});
  Select(1, ui::NODE_STRIP);
  const std::uint64_t changes = state.selection.changes();
  for (int round = 0; round < 3; ++round) {
    for (int kind = 0; kind < ui::NODES_PER_STRIP; ++kind) Select(1, kind);
  }
  EXPECT_EQ(state.selection.changes(), changes);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial1));
  Select(2, ui::NODE_CALCULATION);  // another strip: one change, straight to it
  EXPECT_EQ(state.selection.changes(), changes + 1);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial2));
}

TEST_F(DeviceTreeTest, SameOutletOfAnotherStripChangesOnlyTheStrip) {
  Plug({kSerial1, kSerial2});
  Select(1, ui::NODE_WAVEFORM_2);
  state.controls.SetText(6003, "1.00");
  DirtyStatistics();
  trace.Clear();
  Select(2, ui::NODE_WAVEFORM_2);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial2));
  EXPECT_EQ(state.selectedOutlet.load(), 2);
  EXPECT_TRUE(trace.entries().empty());
  EXPECT_FALSE(StatisticsAreReset());
  EXPECT_EQ(state.controls.GetText(6003), "1.00");
}

TEST_F(DeviceTreeTest, WaveformsParentNodeAfterCalculationKeepsTheCalculationPanel) {
  Plug({kSerial1, kSerial2});
  Select(1, ui::NODE_CALCULATION);
  const std::vector<int> calculationView = VisibleIds();
  state.selectedQuantity.store(protocol::QUANTITY_POWER);
  DirtyStatistics();
  trace.Clear();
  Select(2, ui::NODE_WAVEFORMS);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial2));
  EXPECT_EQ(VisibleIds(), calculationView);
  EXPECT_TRUE(trace.entries().empty());
  EXPECT_EQ(state.selectedOutlet.load(), 0);
  EXPECT_EQ(state.selectedQuantity.load(), protocol::QUANTITY_POWER);
  EXPECT_FALSE(StatisticsAreReset());
  EXPECT_EQ(tree.viewKind(), ui::NODE_WAVEFORMS);
}

TEST_F(DeviceTreeTest, NodeOfAPositionTheListNoLongerHasSwitchesTheViewButSelectsNoStrip) {
  Plug({kSerial1, kSerial2});
  Select(1, ui::NODE_STRIP);
  driver.SetPresent(kSerial2, false);
  state.device.RebuildDeviceList();  // the list shrank, the tree was not rebuilt
  Select(2, ui::NODE_CALCULATION);
  EXPECT_EQ(state.selection.serial(), 0);
  EXPECT_EQ(tree.viewKind(), ui::NODE_CALCULATION);
  EXPECT_TRUE(state.controls.IsVisible(5001));
}

TEST_F(DeviceTreeTest, SelectionOutsideTheSlotsChangesNothing) {
  Plug({kSerial1});
  Select(1, ui::NODE_STRIP);
  view.Select(TreeNode::None);
  EXPECT_EQ(tree.viewKind(), ui::NODE_STRIP);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial1));
  view.Select(view.InsertNode(TreeNode::None, "stray"));
  EXPECT_EQ(tree.viewKind(), ui::NODE_STRIP);
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial1));
}

TEST_F(DeviceTreeTest, RebuildResetsTheViewAndKeepsTheSelectedStrip) {
  Plug({kSerial1, kSerial2});
  Select(2, ui::NODE_WAVEFORM_3);
  const int reportsBefore = view.selectionReports;
  trace.Clear();
  tree.DeleteAllStripItems();
  // Deleting the selected node made the tree report new selections...
  EXPECT_GT(view.selectionReports, reportsBefore);
  // ...which changed neither the strip, the outlet nor the panels.
  EXPECT_TRUE(trace.entries().empty());
  EXPECT_EQ(state.selection.serial(), static_cast<std::int32_t>(kSerial2));
  EXPECT_EQ(state.selectedOutlet.load(), 3);
  EXPECT_EQ(tree.viewKind(), ui::VIEW_NONE);
  EXPECT_EQ(view.NodeCount(), 0u);
  EXPECT_FALSE(view.deletedWithChildren);
  for (int slot = 0; slot < tree.SlotCount(); ++slot) EXPECT_EQ(tree.NodeAt(slot), TreeNode::None);
}

TEST_F(DeviceTreeTest, AfterARebuildTheSameKindOfNodeShowsItsPanelAgain) {
  Plug({kSerial1});
  Select(1, ui::NODE_CALCULATION);
  tree.DeleteAllStripItems();
  state.controls.ShowControlRange(3000, 6019, false);  // the rebuild hides every panel
  tree.AddStripToTree("S/N=1A2B3", 1);
  Select(1, ui::NODE_CALCULATION);
  EXPECT_EQ(VisibleIds(), ViewIds({ids::CALCULATION_PANEL, ids::ENVIRONMENT_ROW}, state.controls));
}

TEST_F(DeviceTreeTest, AddingAPositionAgainReplacesItsNodes) {
  Plug({kSerial1});
  tree.AddStripToTree("S/N=1A2B3", 1);
  EXPECT_EQ(view.NodeCount(), 7u);
  EXPECT_EQ(view.Children(TreeNode::None).size(), 1u);
  EXPECT_EQ(view.imageLists.size(), 1u);
}

TEST_F(DeviceTreeTest, MoreThanFourStripsAllAppearAndCanBeSelected) {
  Plug({0x10001, 0x10002, 0x10003, 0x10004, 0x10005, 0x10006});
  EXPECT_EQ(view.Children(TreeNode::None).size(), 6u);
  EXPECT_EQ(tree.SlotCount(), 42);
  EXPECT_EQ(view.At(Node(6, ui::NODE_STRIP)).text, "S/N=10006");
  Select(6, ui::NODE_WAVEFORM_4);
  EXPECT_EQ(state.selection.serial(), 0x10006);
  EXPECT_EQ(state.selectedOutlet.load(), 4);
  Select(5, ui::NODE_STRIP);
  EXPECT_EQ(state.selection.serial(), 0x10005);
  tree.DeleteAllStripItems();
  EXPECT_EQ(view.NodeCount(), 0u);
  EXPECT_FALSE(view.deletedWithChildren);
}

TEST_F(DeviceTreeTest, AddingAPositionBeyondTheTableLeavesTheGapEmpty) {
  tree.AddStripToTree("S/N=00003", 3);
  EXPECT_EQ(tree.SlotCount(), 21);
  EXPECT_EQ(tree.NodeAt(0), TreeNode::None);
  EXPECT_NE(tree.NodeAt(14), TreeNode::None);
  tree.AddStripToTree("ignored", 0);
  EXPECT_EQ(view.NodeCount(), 7u);
}

}  // namespace
}  // namespace kvx::test
