// Widgets from the rows of a dialog template: each control's kind, text,
// alignment and pixel rectangle (dialog units with base units 7 x 12), the
// dialog and value fonts, and the colours of the value fields.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>

#include "resources/dialog_templates.h"

class QWidget;

namespace kvx::ui {

// Families in order: the original face, then its nearest free match, so
// Latin letters and kana come from one font with one set of metrics.
QFont DialogFont(int pointSize);
// Bold, 16 pixels: the 22 value fields.
QFont ValueFont();

inline const QColor kValueText{0, 0, 128};
inline const QColor kPresentBackground{140, 180, 220};  // nowBrush
inline const QColor kStatisticBackground{180, 220, 140};  // statBrush

// The template rectangle in client pixels.
QRect PixelRect(const resources::ControlTemplate& row);
QSize PixelSize(const resources::DialogTemplate& dialog);

// Creates the widget of one template row as a child of `parent`, placed at
// its pixel rectangle, hidden unless the row is visible at start. Tab stops
// take the keyboard focus; other buttons only take it when clicked.
QWidget* CreateControl(const resources::ControlTemplate& row, QWidget* parent);

// The free font's Latin letters run wider than the original face's, so a
// few template texts would lose their last letter in their rectangle. This
// narrows the font of such a static text, radio button or check box just
// enough (down to MIN_TEXT_STRETCH percent) for its whole text to fit; other
// widgets and texts that fit keep the dialog font.
inline constexpr int MIN_TEXT_STRETCH = 75;
void FitTextToWidth(QWidget* widget);
// Whether FitTextToWidth applies to this kind of control.
bool FitsTextToWidth(resources::ControlKind kind);

// The value field look: text RGB(0, 0, 128) on `background`.
void SetValueFieldColours(QWidget* field, const QColor& background);

// A 16 x 16 bitmap with black as the mask colour (black pixels transparent).
QImage MaskedImage(const resources::Image16& bitmap);
// The application icon (icon 128).
QImage ApplicationIconImage();

}  // namespace kvx::ui
