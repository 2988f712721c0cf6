// A TreeView that keeps its nodes in memory and behaves like a single-
// selection tree widget: deleting the selected node moves the selection to
// its parent and reports the change, as a real tree does during a rebuild.
#pragma once

#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "ui/tree_view.h"

namespace kvx::test {

class FakeTreeView final : public ui::TreeView {
 public:
  struct Node {
    ui::TreeNode parent = ui::TreeNode::None;
    std::string text;
    int image = -1;
    int selectedImage = -1;
  };

  // The tree's selection-change report (the window connects it to the handler).
  std::function<void()> onSelectionChanged;

  ui::TreeNode InsertNode(ui::TreeNode parent, const std::string& text) override {
    const auto node = static_cast<ui::TreeNode>(next_++);
    nodes_[node] = Node{parent, text};
    order_.push_back(node);
    return node;
  }

  void DeleteNode(ui::TreeNode node) override {
    deletions.push_back(node);
    if (!Children(node).empty()) deletedWithChildren = true;
    const ui::TreeNode parent = nodes_.at(node).parent;
    nodes_.erase(node);
    std::erase(order_, node);
    if (selected_ == node) Select(parent);
  }

  void SetImageList(std::span<const resources::Image16> images) override {
    imageLists.emplace_back(images.begin(), images.end());
  }

  void SetNodeImages(ui::TreeNode node, int image, int selectedImage) override {
    nodes_.at(node).image = image;
    nodes_.at(node).selectedImage = selectedImage;
  }

  ui::TreeNode SelectedNode() const override { return selected_; }

  // A selection by the user or the program; reports only a change.
  void Select(ui::TreeNode node) {
    if (node == selected_) return;
    selected_ = node;
    ++selectionReports;
    if (onSelectionChanged) onSelectionChanged();
  }

  bool Exists(ui::TreeNode node) const { return nodes_.count(node) != 0; }
  const Node& At(ui::TreeNode node) const { return nodes_.at(node); }
  std::size_t NodeCount() const { return nodes_.size(); }

  // Children of `parent` (None: the roots) in insertion order.
  std::vector<ui::TreeNode> Children(ui::TreeNode parent) const {
    std::vector<ui::TreeNode> children;
    for (ui::TreeNode node : order_) {
      if (nodes_.at(node).parent == parent) children.push_back(node);
    }
    return children;
  }

  std::vector<std::vector<resources::Image16>> imageLists;
  std::vector<ui::TreeNode> deletions;
  bool deletedWithChildren = false;
  int selectionReports = 0;

 private:
  std::map<ui::TreeNode, Node> nodes_;
  std::vector<ui::TreeNode> order_;
  ui::TreeNode selected_ = ui::TreeNode::None;
  std::uintptr_t next_ = 1;
};

}  // namespace kvx::test
