// The device tree's logic: seven nodes per strip position in a slot table,
// the tree images, the deletion for a rebuild, and the selection handler that
// selects the node's strip and switches the window to the node's view.
//
// Runs on the user-interface thread only. It steers the acquisition thread
// through AppState (selection, selectedOutlet, selectedQuantity) and the
// window through the control model.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "acquisition/app_state.h"
#include "acquisition/control_ids.h"
#include "acquisition/sinks.h"
#include "ui/panel_handlers.h"
#include "ui/tree_view.h"

namespace kvx::ui {

// A node's kind is its place in its strip's group of seven.
enum NodeKind : std::uint8_t {
  NODE_STRIP = 0,        // "S/N=%05X": device-information view
  NODE_CALCULATION = 1,  // "測定値計算": calculation view
  NODE_WAVEFORMS = 2,    // "波形の観察": no view of its own
  NODE_WAVEFORM_1 = 3,   // "１番波形" .. "４番波形": waveform view of outlet 1..4
  NODE_WAVEFORM_2 = 4,
  NODE_WAVEFORM_3 = 5,
  NODE_WAVEFORM_4 = 6,
};
inline constexpr int NODES_PER_STRIP = 7;
// viewKind before any selection, and after a rebuild of the tree.
inline constexpr std::uint8_t VIEW_NONE = 0xFF;

inline constexpr bool IsWaveformView(std::uint8_t viewKind) {
  return viewKind >= NODE_WAVEFORM_1 && viewKind <= NODE_WAVEFORM_4;
}

// The graph operations that a switch of view performs.
struct GraphActions {
  std::function<void()> createGraphBitmap;
  std::function<void()> clearGraphBitmap;
};

class DeviceTree final : public TreeRebuildTarget {
 public:
  DeviceTree(AppState& state, TreeView& view, PanelHandlers& handlers, GraphActions graph);

  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  // First slot of a strip position (1-based): 7 (position - 1).
  static constexpr int FirstSlotOf(int position) { return NODES_PER_STRIP * (position - 1); }

  // Adds the seven nodes of a strip position, the label as its root node after
  // the roots present. The slot table grows for positions beyond those it has;
  // a position that still holds nodes has them replaced, so a late add of the
  // same position never leaves a second copy in the tree.
  void AddStripToTree(const std::string& label, int position) override;
  // Deletes the nodes of one position, children before their parents.
  void DeleteStripItems(int firstSlot);
  // The rebuild: every position's nodes go and the view becomes "nothing
  // selected". Neither the selection nor the connection changes, though the
  // tree reports selection changes while its nodes are deleted.
  void DeleteAllStripItems() override;

  // The tree's selection changed (user, keyboard or program).
  void OnTreeSelectionChanged();

  std::uint8_t viewKind() const { return viewKind_.load(); }
  bool imageListReady() const { return imageListReady_; }
  // The node in a slot (None when the slot is empty or beyond the table).
  TreeNode NodeAt(int slot) const;
  int SlotCount() const { return static_cast<int>(slots_.size()); }

 private:
  void ShowDeviceInformation();
  void ShowCalculation();
  void ShowWaveform(int outlet);
  void ShowRange(ids::IdRange range, bool show);
  void CreateImageListOnce();

  AppState& state_;
  TreeView& view_;
  PanelHandlers& handlers_;
  GraphActions graph_;
  std::vector<TreeNode> slots_;
  bool imageListReady_ = false;
  int suppressSelection_ = 0;  // > 0 while nodes are deleted
  // Read by the paint handler; atomic so a status reader elsewhere is safe too.
  std::atomic<std::uint8_t> viewKind_{VIEW_NONE};
};

}  // namespace kvx::ui
