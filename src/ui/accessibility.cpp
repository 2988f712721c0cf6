#include "ui/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLabel>
#include <QTreeWidget>

#include "ui/device_tree_accessible.h"


namespace kvx::ui {

namespace {

constexpr char kRoleProperty[] = "kvxAccessibleRole";
constexpr int kValueField = 1;
constexpr int kDeviceTree = 2;
constexpr int kGraph = 3;

// A value field: a label named for what it shows, whose text (the number or
// "(BAD)") is its content.
class ValueFieldAccessible final : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit ValueFieldAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return Content();
    if (t == QAccessible::Value) return Content();
    return QAccessibleWidget::text(t);
  }

  // ---- Read-only text: no selection, no caret.
  void selection(int, int* startOffset, int* endOffset) const override { *startOffset = *endOffset = 0; }
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  QString text(int startOffset, int endOffset) const override {
    const QString content = Content();
    startOffset = qBound(0, startOffset, static_cast<int>(content.size()));
    endOffset = endOffset < 0 ? static_cast<int>(content.size()) : qBound(startOffset, endOffset, static_cast<int>(content.size()));
    return content.mid(startOffset, endOffset - startOffset);
  }
  int characterCount() const override { return static_cast<int>(Content().size()); }
  QRect characterRect(int) const override { return {}; }
  int offsetAtPoint(const QPoint&) const override { return -1; }
  void scrollToSubstring(int, int) override {}
  QString attributes(int, int* startOffset, int* endOffset) const override {
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
  }

 private:
  QString Content() const { return static_cast<QLabel*>(widget())->text(); }
};

int RoleOf(QObject* object) { return object ? object->property(kRoleProperty).toInt() : 0; }

QAccessibleInterface* Factory(const QString& key, QObject* object) {
  const int role = RoleOf(object);
  if (role == kValueField && key == QLatin1String("QLabel")) return new ValueFieldAccessible(static_cast<QLabel*>(object));
  if (role == kDeviceTree && key == QLatin1String("QTreeWidget")) {
    return new DeviceTreeAccessible(static_cast<QTreeWidget*>(object));
  }
  if (role == kGraph && key == QLatin1String("QWidget")) {
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Chart);
  }
  return nullptr;
}

// Qt makes a widget's accessible object as soon as the widget reports a
// change (a label reports its first text in its constructor), before it can
// be marked: the object made then is dropped so the next query makes ours.
void Mark(QWidget* widget, int role) {
  widget->setProperty(kRoleProperty, role);
  if (QAccessibleInterface* made = QAccessible::queryAccessibleInterface(widget)) {
    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
  }
}

}  // namespace

void InstallAccessibleFactory() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  QAccessible::installFactory(&Factory);
}

void MarkValueField(QLabel* field) { Mark(field, kValueField); }
void MarkDeviceTree(QTreeWidget* tree) { Mark(tree, kDeviceTree); }
void MarkGraphStandIn(QWidget* widget) { Mark(widget, kGraph); }

void NotifyValueFieldText(QLabel* field, const QString& oldText) {
  if (!QAccessible::isActive() || RoleOf(field) != kValueField) return;
  QAccessibleTextUpdateEvent event(field, 0, oldText, field->text());
  QAccessible::updateAccessibility(&event);
}

}  // namespace kvx::ui
