#include "ui/qt_tree_view.h"

#include <QIcon>
#include <QTreeWidget>

#include "ui/dialog_layout.h"

namespace kvx::ui {

QtTreeView::QtTreeView(QTreeWidget& widget) : widget_(widget) {}

QTreeWidgetItem* QtTreeView::ItemOf(TreeNode node) {
  return reinterpret_cast<QTreeWidgetItem*>(static_cast<std::uintptr_t>(node));
}

TreeNode QtTreeView::NodeOf(QTreeWidgetItem* item) {
  return static_cast<TreeNode>(reinterpret_cast<std::uintptr_t>(item));
}

TreeNode QtTreeView::InsertNode(TreeNode parent, const std::string& text) {
  auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(text)});
  if (parent == TreeNode::None) {
    widget_.addTopLevelItem(item);
  } else {
    ItemOf(parent)->addChild(item);
  }
  return NodeOf(item);
}

void QtTreeView::DeleteNode(TreeNode node) {
  // The item removes itself from its parent or the tree.
  delete ItemOf(node);
}

void QtTreeView::SetImageList(std::span<const resources::Image16> images) {
  images_.clear();
  for (const resources::Image16& image : images) images_.push_back(QPixmap::fromImage(MaskedImage(image)));
}

void QtTreeView::SetNodeImages(TreeNode node, int image, int selectedImage) {
  const auto count = static_cast<int>(images_.size());
  if (image < 0 || image >= count || selectedImage < 0 || selectedImage >= count) return;
  QIcon icon;
  icon.addPixmap(images_[static_cast<std::size_t>(image)], QIcon::Normal);
  icon.addPixmap(images_[static_cast<std::size_t>(selectedImage)], QIcon::Selected);
  ItemOf(node)->setIcon(0, icon);
}

TreeNode QtTreeView::SelectedNode() const {
  const QList<QTreeWidgetItem*> selected = widget_.selectedItems();
  return selected.isEmpty() ? TreeNode::None : NodeOf(selected.first());
}

}  // namespace kvx::ui
