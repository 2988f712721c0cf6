#include "ui/tree_item_delegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QWidget>

namespace kvx::ui {

namespace {
// Space between the highlight's edge and the label text.
constexpr int kTextMargin = 2;
}  // namespace

void TreeItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const QWidget* view = opt.widget;
  const QStyle* style = view ? view->style() : QApplication::style();
  const bool selected = (opt.state & QStyle::State_Selected) != 0;
  const bool viewFocused = view && view->hasFocus();

  const QRect iconRect = style->subElementRect(QStyle::SE_ItemViewItemDecoration, &opt, view);
  opt.icon.paint(painter, iconRect, opt.decorationAlignment, selected ? QIcon::Selected : QIcon::Normal);

  const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, view);
  const int labelWidth = std::min(opt.fontMetrics.horizontalAdvance(opt.text) + 2 * kTextMargin, textRect.width());
  const QRect label(textRect.left(), textRect.top(), labelWidth, textRect.height());
  const bool highlight = selected && viewFocused;
  painter->save();
  if (highlight) painter->fillRect(label, opt.palette.brush(QPalette::Active, QPalette::Highlight));
  painter->setPen(opt.palette.color(QPalette::Active, highlight ? QPalette::HighlightedText : QPalette::Text));
  painter->setFont(opt.font);
  painter->drawText(label.adjusted(kTextMargin, 0, -kTextMargin, 0), Qt::AlignLeft | Qt::AlignVCenter, opt.text);
  painter->restore();
  if (viewFocused && (opt.state & QStyle::State_HasFocus)) {
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(opt);
    focus.rect = label;
    focus.backgroundColor = opt.palette.color(QPalette::Active, highlight ? QPalette::Highlight : QPalette::Base);
    style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, view);
  }
}

}  // namespace kvx::ui
