#include "ui/dialog_layout.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "ui/tree_item_delegate.h"

namespace kvx::ui {

namespace {

using resources::ControlKind;
using resources::ControlTemplate;

QString Text(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

const QStringList& FontFamilies() {
  static const QStringList families = {QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")};
  return families;
}

Qt::Alignment LabelAlignment(const ControlTemplate& row) {
  Qt::Alignment horizontal = Qt::AlignLeft;
  if (row.align == resources::TextAlign::Center) horizontal = Qt::AlignHCenter;
  if (row.align == resources::TextAlign::Right) horizontal = Qt::AlignRight;
  return horizontal | (row.centerVertically ? Qt::AlignVCenter : Qt::AlignTop);
}

QLabel* CreateLabel(const ControlTemplate& row, QWidget* parent) {
  auto* label = new QLabel(Text(row.text), parent);
  label->setAlignment(LabelAlignment(row));
  label->setTextFormat(Qt::PlainText);
  label->setMargin(0);
  if (row.kind == ControlKind::ValueField) {
    // A thin sunken edge, and no indent: a framed QLabel would otherwise
    // move its text half an "x" away from the edge.
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setLineWidth(1);
    label->setIndent(0);
  }
  return label;
}

QTreeWidget* CreateTree(QWidget* parent) {
  auto* tree = new QTreeWidget(parent);
  tree->setHeaderHidden(true);
  tree->setColumnCount(1);
  tree->setRootIsDecorated(true);  // buttons and lines at the roots
  tree->setItemsExpandable(true);
  tree->setSelectionMode(QAbstractItemView::SingleSelection);
  tree->setIconSize(QSize(16, 16));
  tree->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tree->setAutoScroll(false);
  tree->setItemDelegate(new TreeItemDelegate(tree));
  return tree;
}

QWidget* CreateWidget(const ControlTemplate& row, QWidget* parent) {
  const QString text = Text(row.text);
  switch (row.kind) {
    case ControlKind::DefaultPushButton: {
      auto* button = new QPushButton(text, parent);
      button->setDefault(true);
      return button;
    }
    case ControlKind::PushButton:
      return new QPushButton(text, parent);
    case ControlKind::GroupBox:
      return new QGroupBox(text, parent);
    case ControlKind::RadioButton:
      return new QRadioButton(text, parent);
    case ControlKind::CheckBox:
      return new QCheckBox(text, parent);
    case ControlKind::StaticText:
    case ControlKind::ValueField:
      return CreateLabel(row, parent);
    case ControlKind::TreeView:
      return CreateTree(parent);
  }
  return nullptr;
}

Qt::FocusPolicy FocusPolicyOf(const ControlTemplate& row) {
  if (row.tabStop) return Qt::StrongFocus;
  switch (row.kind) {
    case ControlKind::DefaultPushButton:
    case ControlKind::PushButton:
    case ControlKind::RadioButton:
    case ControlKind::CheckBox:
    case ControlKind::TreeView:
      return Qt::ClickFocus;
    default:
      return Qt::NoFocus;
  }
}

}  // namespace

QFont DialogFont(int pointSize) {
  QFont font;
  font.setFamilies(FontFamilies());
  font.setPointSize(pointSize);
  return font;
}

QFont ValueFont() {
  QFont font;
  font.setFamilies(FontFamilies());
  font.setPixelSize(16);
  font.setBold(true);
  return font;
}

bool FitsTextToWidth(resources::ControlKind kind) {
  return kind == ControlKind::StaticText || kind == ControlKind::RadioButton || kind == ControlKind::CheckBox;
}

void FitTextToWidth(QWidget* widget) {
  QString text;
  int available = 0;
  int extra = 0;  // indicator and spacing of a button
  const QFont base = widget->parentWidget() ? widget->parentWidget()->font() : widget->font();
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    text = label->text();
    available = label->contentsRect().width();
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    text = button->text();
    available = button->width();
    button->setFont(base);
    extra = button->sizeHint().width() - QFontMetrics(base).horizontalAdvance(text);
  } else {
    return;
  }
  QFont font = base;
  for (int stretch = 100; stretch >= MIN_TEXT_STRETCH; --stretch) {
    font.setStretch(stretch);
    if (QFontMetrics(font).horizontalAdvance(text) + extra <= available) break;
  }
  if (font.stretch() == 100) {
    widget->setFont(base);
  } else {
    widget->setFont(font);
  }
}

QRect PixelRect(const ControlTemplate& row) {
  using resources::DialogUnitsToPixelsX;
  using resources::DialogUnitsToPixelsY;
  return QRect(DialogUnitsToPixelsX(row.x), DialogUnitsToPixelsY(row.y), DialogUnitsToPixelsX(row.width),
               DialogUnitsToPixelsY(row.height));
}

QSize PixelSize(const resources::DialogTemplate& dialog) {
  return QSize(resources::DialogUnitsToPixelsX(dialog.width), resources::DialogUnitsToPixelsY(dialog.height));
}

QWidget* CreateControl(const ControlTemplate& row, QWidget* parent) {
  QWidget* widget = CreateWidget(row, parent);
  widget->setObjectName(QStringLiteral("control%1").arg(row.id));
  widget->setGeometry(PixelRect(row));
  widget->setFocusPolicy(FocusPolicyOf(row));
  widget->setVisible(row.visibleAtStart);
  return widget;
}

void SetValueFieldColours(QWidget* field, const QColor& background) {
  QPalette palette = field->palette();
  palette.setColor(QPalette::Window, background);
  palette.setColor(QPalette::WindowText, kValueText);
  // The edge: shadow grey above and left, white below and right.
  palette.setColor(QPalette::Dark, QColor(160, 160, 160));
  palette.setColor(QPalette::Light, QColor(255, 255, 255));
  field->setPalette(palette);
  field->setAutoFillBackground(true);
}

QImage MaskedImage(const resources::Image16& bitmap) {
  QImage image(16, 16, QImage::Format_ARGB32);
  for (int y = 0; y < 16; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < 16; ++x) {
      const std::uint32_t rgb = bitmap[static_cast<std::size_t>(y * 16 + x)] & 0xFFFFFFu;
      line[x] = rgb == 0 ? 0u : (0xFF000000u | rgb);
    }
  }
  return image;
}

QImage ApplicationIconImage() {
  const auto& icon = resources::ApplicationIcon();
  QImage image(32, 32, QImage::Format_ARGB32);
  for (int y = 0; y < 32; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < 32; ++x) line[x] = icon[static_cast<std::size_t>(y * 32 + x)];
  }
  return image;
}

}  // namespace kvx::ui
