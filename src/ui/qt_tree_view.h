// The device tree's TreeView on a QTreeWidget: a node is its item, the
// selected node is the selected item, and the two images of a node are the
// normal and the "selected" pixmaps of the item's icon.
#pragma once

#include <QPixmap>
#include <vector>

#include "ui/tree_view.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace kvx::ui {

class QtTreeView final : public TreeView {
 public:
  explicit QtTreeView(QTreeWidget& widget);

  TreeNode InsertNode(TreeNode parent, const std::string& text) override;
  void DeleteNode(TreeNode node) override;
  void SetImageList(std::span<const resources::Image16> images) override;
  void SetNodeImages(TreeNode node, int image, int selectedImage) override;
  TreeNode SelectedNode() const override;

  static QTreeWidgetItem* ItemOf(TreeNode node);
  static TreeNode NodeOf(QTreeWidgetItem* item);

 private:
  QTreeWidget& widget_;
  std::vector<QPixmap> images_;
};

}  // namespace kvx::ui
