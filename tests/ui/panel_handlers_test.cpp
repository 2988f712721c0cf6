// The button handlers of the main window, reached as a user's click would
// reach them (the model's automatic reaction first) and as the tree calls them.
#include <gtest/gtest.h>

#include "acquisition/control_ids.h"
#include "logic_fixture.h"

namespace kvx::test {
namespace {

class PanelHandlersTest : public LogicTest {};

TEST_F(PanelHandlersTest, PowerRadioSelectsPowerWithWattUnitsAndResetsStatistics) {
  state.selectedOutlet.store(2);
  DirtyStatistics();
  EXPECT_TRUE(handlers.Click(ids::CALC_POWER_RADIO));
  EXPECT_TRUE(state.controls.IsChecked(ids::CALC_POWER_RADIO));
  EXPECT_FALSE(state.controls.IsChecked(ids::CALC_CURRENT_RADIO));
  EXPECT_EQ(state.selectedQuantity.load(), protocol::QUANTITY_POWER);
  EXPECT_EQ(state.selectedOutlet.load(), 0);
  for (int id : ids::UNIT_TEXT) EXPECT_EQ(state.controls.GetText(id), "W");
  EXPECT_TRUE(StatisticsAreReset());
}

TEST_F(PanelHandlersTest, CurrentRadioSelectsCurrentWithMilliampereUnits) {
  handlers.Click(ids::CALC_POWER_RADIO);
  DirtyStatistics();
  EXPECT_TRUE(handlers.Click(ids::CALC_CURRENT_RADIO));
  EXPECT_EQ(state.selectedQuantity.load(), protocol::QUANTITY_CURRENT);
  for (int id : ids::UNIT_TEXT) EXPECT_EQ(state.controls.GetText(id), "mA");
  EXPECT_TRUE(StatisticsAreReset());
}

TEST_F(PanelHandlersTest, ClickOnTheAlreadyCheckedRadioRunsItsHandlerAgain) {
  DirtyStatistics();
  state.controls.SetText(5014, "x");
  EXPECT_TRUE(handlers.Click(ids::CALC_CURRENT_RADIO));
  EXPECT_EQ(state.controls.GetText(5014), "mA");
  EXPECT_TRUE(StatisticsAreReset());
}

TEST_F(PanelHandlersTest, RadioHandlersDoNothingWhileTheirButtonIsUnchecked) {
  state.selectedOutlet.store(3);
  state.selectedQuantity.store(protocol::QUANTITY_CURRENT);
  DirtyStatistics();
  trace.Clear();
  handlers.OnCalculationPower();  // 5004 is unchecked
  handlers.OnWaveformPower();     // 6010 is unchecked
  EXPECT_TRUE(trace.entries().empty());
  EXPECT_EQ(state.selectedOutlet.load(), 3);
  EXPECT_EQ(state.selectedQuantity.load(), protocol::QUANTITY_CURRENT);
  EXPECT_FALSE(StatisticsAreReset());
}

TEST_F(PanelHandlersTest, WaveformRadiosSetTheCaptionsOnly) {
  state.selectedOutlet.store(2);
  DirtyStatistics();
  handlers.Click(ids::WAVE_POWER_RADIO);
  EXPECT_EQ(state.controls.GetText(6002), "有効電力 [W]");
  EXPECT_EQ(state.controls.GetText(6004), "最 大 値 [W]");
  EXPECT_EQ(state.controls.GetText(6006), "最 小 値 [W]");
  EXPECT_TRUE(state.controls.IsChecked(ids::WAVE_POWER_RADIO));
  EXPECT_FALSE(state.controls.IsChecked(ids::WAVE_CURRENT_RADIO));
  handlers.Click(ids::WAVE_CURRENT_RADIO);
  EXPECT_EQ(state.controls.GetText(6002), "実効電流 [mA]");
  EXPECT_EQ(state.controls.GetText(6004), "最 大 値 [mA]");
  EXPECT_EQ(state.controls.GetText(6006), "最 小 値 [mA]");
  EXPECT_EQ(state.selectedOutlet.load(), 2);
  EXPECT_FALSE(StatisticsAreReset());
}

TEST_F(PanelHandlersTest, BothClearButtonsResetTheStatistics) {
  for (int id : {ids::CALC_CLEAR_BUTTON, ids::WAVE_CLEAR_BUTTON}) {
    DirtyStatistics();
    EXPECT_TRUE(handlers.Click(id));
    EXPECT_TRUE(StatisticsAreReset()) << id;
  }
}

TEST_F(PanelHandlersTest, UncheckingLogClosesTheFilesAndCheckingDoesNot) {
  handlers.Click(ids::LOG_CHECK);
  EXPECT_TRUE(state.controls.IsChecked(ids::LOG_CHECK));
  EXPECT_EQ(logCloses, 0);
  handlers.Click(ids::LOG_CHECK);
  EXPECT_FALSE(state.controls.IsChecked(ids::LOG_CHECK));
  EXPECT_EQ(logCloses, 1);
}

TEST_F(PanelHandlersTest, ClickOnADisabledControlRunsNoHandler) {
  state.controls.Enable(ids::LOG_CHECK, false);
  EXPECT_FALSE(handlers.Click(ids::LOG_CHECK));
  EXPECT_FALSE(state.controls.IsChecked(ids::LOG_CHECK));
  EXPECT_EQ(logCloses, 0);
}

TEST_F(PanelHandlersTest, ControlsWithoutAHandlerAreRecognised) {
  EXPECT_FALSE(handlers.RunHandler(ids::CLOSE_BUTTON));
  EXPECT_FALSE(handlers.RunHandler(ids::OVERLAY_CHECK));
  EXPECT_TRUE(handlers.Click(ids::OVERLAY_CHECK));  // toggles, read by the graph
  EXPECT_TRUE(state.controls.IsChecked(ids::OVERLAY_CHECK));
  EXPECT_TRUE(handlers.Click(6012));
  EXPECT_TRUE(state.controls.IsChecked(6012));
  EXPECT_FALSE(state.controls.IsChecked(ids::DEFAULT_Y_SCALE));
}

}  // namespace
}  // namespace kvx::test
