#include "ui/device_tree.h"

#include <array>
#include <utility>

namespace kvx::ui {

namespace {

constexpr std::array<const char*, NODES_PER_STRIP - 1> kChildTexts = {
    "測定値計算", "波形の観察", "１番波形", "２番波形", "３番波形", "４番波形"};

// Every node shows the closed folder, and the open folder while selected.
constexpr int kImageClosed = 0;
constexpr int kImageOpen = 1;

}  // namespace

DeviceTree::DeviceTree(AppState& state, TreeView& view, PanelHandlers& handlers, GraphActions graph)
    : state_(state), view_(view), handlers_(handlers), graph_(std::move(graph)) {}

TreeNode DeviceTree::NodeAt(int slot) const {
  if (slot < 0 || slot >= SlotCount()) return TreeNode::None;
  return slots_[static_cast<std::size_t>(slot)];
}

void DeviceTree::AddStripToTree(const std::string& label, int position) {
  if (position < 1) return;
  const int base = FirstSlotOf(position);
  if (SlotCount() < base + NODES_PER_STRIP) slots_.resize(static_cast<std::size_t>(base + NODES_PER_STRIP));
  DeleteStripItems(base);

  auto slot = [&](int k) -> TreeNode& { return slots_[static_cast<std::size_t>(base + k)]; };
  slot(NODE_STRIP) = view_.InsertNode(TreeNode::None, label);
  slot(NODE_CALCULATION) = view_.InsertNode(slot(NODE_STRIP), kChildTexts[0]);
  slot(NODE_WAVEFORMS) = view_.InsertNode(slot(NODE_STRIP), kChildTexts[1]);
  for (int k = NODE_WAVEFORM_1; k <= NODE_WAVEFORM_4; ++k) {
    slot(k) = view_.InsertNode(slot(NODE_WAVEFORMS), kChildTexts[static_cast<std::size_t>(k - 1)]);
  }
  CreateImageListOnce();
  for (int k = 0; k < NODES_PER_STRIP; ++k) view_.SetNodeImages(slot(k), kImageClosed, kImageOpen);
}

void DeviceTree::CreateImageListOnce() {
  if (imageListReady_) return;
  const std::array<resources::Image16, 2> images = {resources::FolderClosedBitmap(),
                                                     resources::FolderOpenBitmap()};
  view_.SetImageList(images);
  imageListReady_ = true;
}

void DeviceTree::DeleteStripItems(int firstSlot) {
  if (firstSlot < 0) return;
  ++suppressSelection_;
  for (int slot = firstSlot + NODES_PER_STRIP - 1; slot >= firstSlot; --slot) {
    if (slot >= SlotCount()) continue;
    TreeNode& node = slots_[static_cast<std::size_t>(slot)];
    if (node == TreeNode::None) continue;
    view_.DeleteNode(node);
    node = TreeNode::None;
  }
  --suppressSelection_;
}

void DeviceTree::DeleteAllStripItems() {
  for (int base = 0; base < SlotCount(); base += NODES_PER_STRIP) DeleteStripItems(base);
  viewKind_.store(VIEW_NONE);
}

void DeviceTree::OnTreeSelectionChanged() {
  if (suppressSelection_ > 0) return;
  const TreeNode selected = view_.SelectedNode();
  if (selected == TreeNode::None) return;
  int slot = 0;
  while (slot < SlotCount() && slots_[static_cast<std::size_t>(slot)] != selected) ++slot;
  if (slot == SlotCount()) return;

  const int position = slot / NODES_PER_STRIP + 1;
  const auto kind = static_cast<std::uint8_t>(slot % NODES_PER_STRIP);
  // Stored once: a position that the device list no longer has leaves no
  // strip selected, and another node of the strip being polled never shows
  // the acquisition thread a passing 0 that would end its connection.
  std::int32_t serial = 0;
  if (!state_.device.GetSerialAt(position, serial)) serial = 0;
  state_.selection.Set(serial);

  if (kind == viewKind_.load()) return;
  switch (kind) {
    case NODE_STRIP:
      ShowDeviceInformation();
      break;
    case NODE_CALCULATION:
      ShowCalculation();
      break;
    case NODE_WAVEFORMS:
      break;
    default:
      ShowWaveform(kind - NODE_WAVEFORMS);
      break;
  }
  viewKind_.store(kind);
}

void DeviceTree::ShowRange(ids::IdRange range, bool show) {
  state_.controls.ShowControlRange(range.first, range.last, show);
}

void DeviceTree::ShowDeviceInformation() {
  if (graph_.clearGraphBitmap) graph_.clearGraphBitmap();
  ShowRange(ids::WAVEFORM_PANEL, false);
  ShowRange(ids::CALCULATION_PANEL, false);
  ShowRange(ids::ENVIRONMENT_ROW, true);
  state_.controls.Enable(ids::LOG_CHECK, true);
  ShowRange(ids::DEVICE_INFO_PANEL, true);
}

void DeviceTree::ShowCalculation() {
  state_.selectedOutlet.store(0);
  state_.selectedQuantity.store(protocol::QUANTITY_CURRENT);
  handlers_.OnCalculationCurrent();
  handlers_.OnCalculationPower();
  if (graph_.clearGraphBitmap) graph_.clearGraphBitmap();
  ShowRange(ids::DEVICE_INFO_PANEL, false);
  ShowRange(ids::WAVEFORM_PANEL, false);
  ShowRange(ids::ENVIRONMENT_ROW, true);
  state_.controls.Enable(ids::LOG_CHECK, true);
  ShowRange(ids::CALCULATION_PANEL, true);
  ResetStatistics(state_.measurement);
}

void DeviceTree::ShowWaveform(int outlet) {
  if (graph_.createGraphBitmap) graph_.createGraphBitmap();
  state_.selectedOutlet.store(static_cast<std::uint8_t>(outlet));
  ShowRange(ids::DEVICE_INFO_PANEL, false);
  ShowRange(ids::CALCULATION_PANEL, false);
  ShowRange(ids::ENVIRONMENT_ROW, true);
  // The Log box stays visible but cannot be changed while one outlet is shown.
  state_.controls.Enable(ids::LOG_CHECK, false);
  ShowRange(ids::WAVEFORM_PANEL, true);
  ResetStatistics(state_.measurement);
  handlers_.OnWaveformCurrent();
  handlers_.OnWaveformPower();
  state_.controls.SetTexts({{ids::WAVE_VALUE, ""}, {ids::WAVE_MAX, ""}, {ids::WAVE_MIN, ""}});
}

}  // namespace kvx::ui
