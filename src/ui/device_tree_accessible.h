// The device tree for assistive technology. Qt's own tree object lets an item
// be selected but offers no way to expand a node, so the items below a
// collapsed strip could not be reached. This one lists the tree's visible
// rows as its children, in the order and at the places Qt's tree view uses
// when it reports focus and selection (child 0 is the header), and gives each
// item the actions "Press" (selects it, as a click does: the selection handler
// runs), "Expand" and "Collapse" (nodes with children only).
//
// An item's object lives while its row is visible: it is announced when the
// row appears (inserted or expanded) and withdrawn when the row goes
// (removed, collapsed, tree reset). User-interface thread only.
#pragma once

#include <QAccessible>
#include <QAccessibleWidget>
#include <QMetaObject>
#include <QItemSelection>
#include <QPersistentModelIndex>
#include <QPointer>
#include <functional>
#include <vector>

class QTreeWidget;

namespace kvx::ui {

class DeviceTreeAccessible final : public QAccessibleWidget {
 public:
  explicit DeviceTreeAccessible(QTreeWidget* tree);
  ~DeviceTreeAccessible() override;

  int childCount() const override;
  QAccessibleInterface* child(int index) const override;
  int indexOfChild(const QAccessibleInterface* child) const override;
  QAccessibleInterface* childAt(int x, int y) const override;

  // The object of the row at `index` (made on first use).
  QAccessibleInterface* ItemInterface(const QModelIndex& index) const;

 private:
  struct Entry {
    QPersistentModelIndex index;
    QAccessible::Id id;
  };
  QTreeWidget* tree() const;
  std::vector<QModelIndex> VisibleRows() const;
  void AnnounceVisibleBelow(const QModelIndex& parent, int first, int last);
  // Withdraws the objects of `parent`'s rows first..last and of the rows below them.
  void WithdrawRemoved(const QModelIndex& parent, int first, int last);
  // Withdraws the objects of the rows for which `affected` holds (and of rows already gone).
  void WithdrawIf(const std::function<bool(const QModelIndex&)>& affected);
  void Withdraw(std::size_t entry);
  void OnSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
  void OnExpansion(const QModelIndex& index);

  mutable std::vector<Entry> entries_;
  std::vector<QMetaObject::Connection> connections_;
};

}  // namespace kvx::ui
