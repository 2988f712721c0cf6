// Shared set-up of the window logic tests: a scripted driver with strips, the
// shared records, the handlers and the device tree over a fake tree, and a
// trace of every change the handlers make to the control model and the graph.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/app_state.h"
#include "device/protocol.h"
#include "support/scripted_driver.h"
#include "ui/device_tree.h"
#include "ui/panel_handlers.h"
#include "fake_tree_view.h"

namespace kvx::test {

// Turns each change of the control model into readable entries ("show
// 3000..3006", "disable 3000", "text 5014=mA", "check 5004") by comparing
// snapshots, so tests can check the order in which a handler works. Changes
// may come from any thread.
class ChangeTrace {
 public:
  explicit ChangeTrace(ControlModel& controls);
  ~ChangeTrace();
  void Add(std::string entry);
  std::vector<std::string> entries() const;
  void Clear();

 private:
  void OnChange();
  void AddLocked(std::string entry) { entries_.push_back(std::move(entry)); }
  ControlModel& controls_;
  mutable std::mutex mutex_;
  ControlModel::Snapshot last_;
  std::vector<std::string> entries_;
};

class LogicTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kSerial1 = 0x1A2B3;
  static constexpr std::uint32_t kSerial2 = 0x2C4D5;

  LogicTest();

  // Adds strips with these serials to the driver, builds the device list and
  // adds every position to the tree, as the acquisition thread does at start.
  void Plug(const std::vector<std::uint32_t>& serials);
  // Selects the node of `kind` of strip `position`.
  void Select(int position, int kind);
  ui::TreeNode Node(int position, int kind) const;
  std::vector<int> VisibleIds() const;
  // Puts a value into every statistic, so a reset is visible.
  void DirtyStatistics();
  bool StatisticsAreReset() const;

  ScriptedDriver driver;
  AppState state{driver};
  FakeTreeView view;
  int logCloses = 0;
  ui::PanelHandlers handlers{state, [this] { ++logCloses; }};
  ChangeTrace trace{state.controls};
  ui::DeviceTree tree{state, view, handlers,
                      ui::GraphActions{[this] { trace.Add("create graph"); }, [this] { trace.Add("clear graph"); }}};
};

}  // namespace kvx::test
