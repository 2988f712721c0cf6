#include "logic_fixture.h"

#include <algorithm>

#include "acquisition/control_ids.h"

namespace kvx::test {

ChangeTrace::ChangeTrace(ControlModel& controls) : controls_(controls), last_(controls.TakeSnapshot()) {
  controls_.SetChangeListener([this] { OnChange(); });
}

ChangeTrace::~ChangeTrace() { controls_.SetChangeListener(nullptr); }

void ChangeTrace::Add(std::string entry) {
  std::lock_guard lock(mutex_);
  AddLocked(std::move(entry));
}

std::vector<std::string> ChangeTrace::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

void ChangeTrace::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

void ChangeTrace::OnChange() {
  std::lock_guard lock(mutex_);
  ControlModel::Snapshot now = controls_.TakeSnapshot();
  std::vector<int> shown, hidden;
  for (std::size_t i = 0; i < now.controls.size(); ++i) {
    const ControlState& before = last_.controls[i];
    const ControlState& after = now.controls[i];
    if (before.visible != after.visible) (after.visible ? shown : hidden).push_back(after.id);
    if (before.enabled != after.enabled) AddLocked((after.enabled ? "enable " : "disable ") + std::to_string(after.id));
    if (before.checked != after.checked) AddLocked((after.checked ? "check " : "uncheck ") + std::to_string(after.id));
    if (before.text != after.text) AddLocked("text " + std::to_string(after.id) + "=" + after.text);
  }
  auto range = [&](const char* verb, std::vector<int>& list) {
    if (list.empty()) return;
    const auto [lo, hi] = std::minmax_element(list.begin(), list.end());
    AddLocked(std::string(verb) + " " + std::to_string(*lo) + ".." + std::to_string(*hi));
  };
  range("hide", hidden);
  range("show", shown);
  last_ = std::move(now);
}

LogicTest::LogicTest() {
  view.onSelectionChanged = [this] { tree.OnTreeSelectionChanged(); };
  state.controls.SetCheck(ids::CALC_CURRENT_RADIO, true);
  state.controls.SetCheck(ids::WAVE_CURRENT_RADIO, true);
  state.controls.SetCheck(ids::DEFAULT_Y_SCALE, true);
  trace.Clear();
}

void LogicTest::Plug(const std::vector<std::uint32_t>& serials) {
  for (std::uint32_t serial : serials) {
    driver.AddStrip(ScriptedStrip{serial, "/dev/strip/" + std::to_string(serial)});
  }
  const int count = state.device.RebuildDeviceList();
  for (int position = 1; position <= count; ++position) {
    std::int32_t serial = 0;
    ASSERT_TRUE(state.device.GetSerialAt(position, serial));
    tree.AddStripToTree(protocol::FormatTreeLabel(static_cast<std::uint32_t>(serial)), position);
  }
}

ui::TreeNode LogicTest::Node(int position, int kind) const {
  return tree.NodeAt(ui::DeviceTree::FirstSlotOf(position) + kind);
}

void LogicTest::Select(int position, int kind) { view.Select(Node(position, kind)); }

std::vector<int> LogicTest::VisibleIds() const {
  std::vector<int> visible;
  for (const ControlState& c : state.controls.TakeSnapshot().controls) {
    if (c.visible) visible.push_back(c.id);
  }
  std::sort(visible.begin(), visible.end());
  return visible;
}

void LogicTest::DirtyStatistics() {
  MeasurementState& m = state.measurement;
  for (std::size_t k = 0; k < 4; ++k) {
    m.outletMax[k].store(123.0);
    m.outletMin[k].store(12.0);
  }
  m.rmsCurrentMax.store(5.0);
  m.rmsCurrentMin.store(1.0);
  m.activePowerMax.store(5.0);
  m.activePowerMin.store(1.0);
}

bool LogicTest::StatisticsAreReset() const {
  const MeasurementState& m = state.measurement;
  for (std::size_t k = 0; k < 4; ++k) {
    if (m.outletMax[k].load() != 0.0 || m.outletMin[k].load() != OUTLET_MIN_RESET) return false;
  }
  return m.rmsCurrentMax.load() == 0.0 && m.rmsCurrentMin.load() == OUTLET_MIN_RESET &&
         m.activePowerMax.load() == 0.0 && m.activePowerMin.load() == OUTLET_MIN_RESET;
}

}  // namespace kvx::test
