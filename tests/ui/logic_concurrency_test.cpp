// The tree and the handlers write what the acquisition thread reads (the
// selection variables, the control model, the statistics) while that thread
// reads and writes them: this runs both at once for the race checker.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "acquisition/control_ids.h"
#include "logic_fixture.h"

namespace kvx::test {
namespace {

class LogicConcurrencyTest : public LogicTest {};

TEST_F(LogicConcurrencyTest, SelectionsAndClicksWhileTheAcquisitionSideReadsAndWrites) {
  Plug({kSerial1, kSerial2});
  std::atomic<bool> stop{false};
  std::atomic<int> observedOutlets{0};
  std::atomic<int> passes{0};
  std::thread acquisition([&] {
    while (!stop.load()) {
      // What a read cycle touches: the selection, check boxes, value fields and statistics.
      const std::uint8_t outlet = state.selectedOutlet.load();
      if (outlet <= 4) observedOutlets.fetch_or(1 << outlet);
      (void)state.selectedQuantity.load();
      (void)state.selection.serial();
      (void)state.controls.IsChecked(ids::LOG_CHECK);
      state.controls.SetText(ids::PRESENT_VALUE[0], std::to_string(outlet));
      state.measurement.outletMax[0].store(1.0);
      (void)state.controls.TakeSnapshot();
      passes.fetch_add(1);
    }
  });
  while (passes.load() == 0) std::this_thread::yield();
  for (int round = 0; round < 200; ++round) {
    const int position = 1 + round % 2;
    for (int kind = 0; kind < 7; ++kind) Select(position, kind);
    handlers.Click(round % 3 == 0 ? ids::CALC_POWER_RADIO : ids::CALC_CURRENT_RADIO);
    handlers.Click(ids::WAVE_CLEAR_BUTTON);
  }
  // One more whole pass of the reader after the last change.
  for (const int seen = passes.load(); passes.load() < seen + 2;) std::this_thread::yield();
  stop.store(true);
  acquisition.join();
  EXPECT_NE(observedOutlets.load() & 1, 0);  // the summary the last click asked for
  EXPECT_EQ(tree.viewKind(), ui::NODE_WAVEFORM_4);
  EXPECT_EQ(state.selectedOutlet.load(), 0);  // the last radio click asked for the summary again
}


}  // namespace
}  // namespace kvx::test
