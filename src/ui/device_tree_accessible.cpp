#include "ui/device_tree_accessible.h"

#include <QAccessibleActionInterface>
#include <QHeaderView>
#include <QTreeWidget>
#include <QWindow>
#include <functional>

namespace kvx::ui {

namespace {

const QString& ExpandAction() {
  static const QString name = QStringLiteral("Expand");
  return name;
}
const QString& CollapseAction() {
  static const QString name = QStringLiteral("Collapse");
  return name;
}

// Whether `index` is `ancestor` or lies below it.
bool IsAtOrBelow(QModelIndex index, const QModelIndex& ancestor) {
  for (; index.isValid(); index = index.parent()) {
    if (index == ancestor) return true;
  }
  return false;
}

class DeviceTreeItemAccessible final : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  DeviceTreeItemAccessible(QTreeWidget* tree, const QModelIndex& index) : tree_(tree), index_(index) {}

  bool isValid() const override { return tree_ && index_.isValid(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return tree_ ? tree_->window()->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(tree_); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  // A node below a strip is named after the strip too ("S/N=1A2B3 測定値計算"):
  // every strip has nodes of the same texts, which a screen reader must tell apart.
  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Name || !isValid()) return {};
    QString name = index_.data(Qt::DisplayRole).toString();
    QModelIndex top = index_;
    while (top.parent().isValid()) top = top.parent();
    if (top != index_) name = top.data(Qt::DisplayRole).toString() + QLatin1Char(' ') + name;
    return name;
  }
  void setText(QAccessible::Text, const QString&) override {}
  QAccessible::Role role() const override { return QAccessible::TreeItem; }

  QRect rect() const override {
    if (!isValid()) return {};
    const QRect local = tree_->visualRect(index_);
    if (!local.isValid()) return {};
    return QRect(tree_->viewport()->mapToGlobal(local.topLeft()), local.size());
  }

  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) return s;
    s.selectable = true;
    s.focusable = true;
    s.selected = tree_->selectionModel()->isSelected(index_);
    s.focused = tree_->hasFocus() && tree_->currentIndex() == index_;
    s.expandable = tree_->model()->hasChildren(index_);
    s.expanded = s.expandable && tree_->isExpanded(index_);
    s.collapsed = s.expandable && !s.expanded;
    s.invisible = !tree_->isVisible();
    s.offscreen = !tree_->viewport()->rect().intersects(tree_->visualRect(index_));
    return s;
  }

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
    return nullptr;
  }

  QStringList actionNames() const override {
    QStringList names{pressAction()};
    if (isValid() && tree_->model()->hasChildren(index_)) names << ExpandAction() << CollapseAction();
    return names;
  }
  void doAction(const QString& name) override {
    if (!isValid() || !tree_->isEnabled()) return;
    if (name == pressAction()) {
      // As a click: the tree takes the focus and the row becomes the
      // current and only selected one, which runs the selection handler.
      tree_->setFocus(Qt::OtherFocusReason);
      tree_->setCurrentIndex(index_);
    } else if (name == ExpandAction()) {
      tree_->expand(index_);
    } else if (name == CollapseAction()) {
      tree_->collapse(index_);
    }
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

  QModelIndex index() const { return index_; }

 private:
  QPointer<QTreeWidget> tree_;
  QPersistentModelIndex index_;
};

}  // namespace

DeviceTreeAccessible::DeviceTreeAccessible(QTreeWidget* tree) : QAccessibleWidget(tree, QAccessible::Tree) {
  QAbstractItemModel* model = tree->model();
  connections_ = {
      QObject::connect(model, &QAbstractItemModel::rowsInserted, tree,
                       [this](const QModelIndex& parent, int first, int last) {
                         AnnounceVisibleBelow(parent, first, last);
                       }),
      QObject::connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, tree,
                       [this](const QModelIndex& parent, int first, int last) { WithdrawRemoved(parent, first, last); }),
      QObject::connect(model, &QAbstractItemModel::modelAboutToBeReset, tree,
                       [this] { WithdrawIf([](const QModelIndex&) { return true; }); }),
      QObject::connect(tree, &QTreeView::expanded, tree, [this](const QModelIndex& index) { OnExpansion(index); }),
      QObject::connect(tree, &QTreeView::collapsed, tree, [this](const QModelIndex& index) { OnExpansion(index); }),
      QObject::connect(tree->selectionModel(), &QItemSelectionModel::selectionChanged, tree,
                       [this](const QItemSelection& selected, const QItemSelection& deselected) {
                         OnSelectionChanged(selected, deselected);
                       }),
  };
}

DeviceTreeAccessible::~DeviceTreeAccessible() {
  for (const QMetaObject::Connection& connection : connections_) QObject::disconnect(connection);
  for (const Entry& entry : entries_) QAccessible::deleteAccessibleInterface(entry.id);
}

QTreeWidget* DeviceTreeAccessible::tree() const { return static_cast<QTreeWidget*>(widget()); }

std::vector<QModelIndex> DeviceTreeAccessible::VisibleRows() const {
  std::vector<QModelIndex> rows;
  const QAbstractItemModel* model = tree()->model();
  // Depth first in display order, into expanded nodes only, as the view lists them.
  std::vector<QModelIndex> pending;
  for (int row = model->rowCount() - 1; row >= 0; --row) pending.push_back(model->index(row, 0));
  while (!pending.empty()) {
    const QModelIndex index = pending.back();
    pending.pop_back();
    if (tree()->isRowHidden(index.row(), index.parent())) continue;
    rows.push_back(index);
    if (!tree()->isExpanded(index)) continue;
    for (int row = model->rowCount(index) - 1; row >= 0; --row) pending.push_back(model->index(row, 0, index));
  }
  return rows;
}

int DeviceTreeAccessible::childCount() const { return 1 + static_cast<int>(VisibleRows().size()); }

QAccessibleInterface* DeviceTreeAccessible::child(int index) const {
  if (index == 0) return QAccessible::queryAccessibleInterface(tree()->header());
  const std::vector<QModelIndex> rows = VisibleRows();
  if (index < 1 || index > static_cast<int>(rows.size())) return nullptr;
  return ItemInterface(rows[static_cast<std::size_t>(index - 1)]);
}

int DeviceTreeAccessible::indexOfChild(const QAccessibleInterface* child) const {
  if (!child) return -1;
  if (child->object() == tree()->header()) return 0;
  const std::vector<QModelIndex> rows = VisibleRows();
  for (std::size_t k = 0; k < rows.size(); ++k) {
    for (const Entry& entry : entries_) {
      if (entry.index == rows[k] && QAccessible::accessibleInterface(entry.id) == child) return static_cast<int>(k) + 1;
    }
  }
  return -1;
}

QAccessibleInterface* DeviceTreeAccessible::childAt(int x, int y) const {
  const QModelIndex index = tree()->indexAt(tree()->viewport()->mapFromGlobal(QPoint(x, y)));
  return index.isValid() ? ItemInterface(index) : nullptr;
}

QAccessibleInterface* DeviceTreeAccessible::ItemInterface(const QModelIndex& index) const {
  if (!index.isValid()) return nullptr;
  for (const Entry& entry : entries_) {
    if (entry.index == index) return QAccessible::accessibleInterface(entry.id);
  }
  auto* item = new DeviceTreeItemAccessible(tree(), index);
  entries_.push_back({QPersistentModelIndex(index), QAccessible::registerAccessibleInterface(item)});
  return item;
}

void DeviceTreeAccessible::AnnounceVisibleBelow(const QModelIndex& parent, int first, int last) {
  if (!QAccessible::isActive()) return;
  if (parent.isValid() && !tree()->isExpanded(parent)) return;
  for (const QModelIndex& row : VisibleRows()) {
    for (int r = first; r <= last; ++r) {
      const QModelIndex inserted = tree()->model()->index(r, 0, parent);
      if (!IsAtOrBelow(row, inserted)) continue;
      QAccessibleEvent event(ItemInterface(row), QAccessible::ObjectCreated);
      QAccessible::updateAccessibility(&event);
    }
  }
}

void DeviceTreeAccessible::WithdrawRemoved(const QModelIndex& parent, int first, int last) {
  WithdrawIf([&](const QModelIndex& index) {
    for (QModelIndex up = index; up.isValid(); up = up.parent()) {
      if (up.parent() == parent && up.row() >= first && up.row() <= last) return true;
    }
    return false;
  });
}

void DeviceTreeAccessible::WithdrawIf(const std::function<bool(const QModelIndex&)>& affected) {
  for (std::size_t k = entries_.size(); k-- > 0;) {
    const QModelIndex index = entries_[k].index;
    if (!index.isValid() || affected(index)) Withdraw(k);
  }
}

void DeviceTreeAccessible::Withdraw(std::size_t entry) {
  const QAccessible::Id id = entries_[entry].id;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(entry));
  if (QAccessible::isActive()) {
    QAccessibleEvent event(QAccessible::accessibleInterface(id), QAccessible::ObjectDestroyed);
    QAccessible::updateAccessibility(&event);
  }
  QAccessible::deleteAccessibleInterface(id);
}

void DeviceTreeAccessible::OnExpansion(const QModelIndex& index) {
  const bool expanded = tree()->isExpanded(index);
  // The rows of a collapsed node are no longer children of the tree.
  if (!expanded) WithdrawIf([&](const QModelIndex& row) { return row != index && IsAtOrBelow(row, index); });
  if (!QAccessible::isActive()) return;
  QAccessible::State changed;
  changed.expanded = true;
  changed.collapsed = true;
  QAccessibleStateChangeEvent event(ItemInterface(index), changed);
  QAccessible::updateAccessibility(&event);
  if (expanded) AnnounceVisibleBelow(index, 0, tree()->model()->rowCount(index) - 1);
}

void DeviceTreeAccessible::OnSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
  if (!QAccessible::isActive()) return;
  QAccessible::State changed;
  changed.selected = true;
  for (const QItemSelection* selection : {&selected, &deselected}) {
    for (const QModelIndex& index : selection->indexes()) {
      QAccessibleStateChangeEvent event(ItemInterface(index), changed);
      QAccessible::updateAccessibility(&event);
    }
  }
}

}  // namespace kvx::ui
