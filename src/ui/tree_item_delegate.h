// Paints the device tree's items as the original tree control does: the
// node's image (the open folder while selected), and a highlight behind the
// label text only, shown only while the tree has the keyboard focus.
#pragma once

#include <QStyledItemDelegate>

namespace kvx::ui {

class TreeItemDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace kvx::ui
