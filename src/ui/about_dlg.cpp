#include "ui/about_dlg.h"

#include <QPainter>
#include <QPushButton>
#include <qdrawutil.h>

#include "resources/dialog_templates.h"
#include "ui/dialog_layout.h"

namespace kvx::ui {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  const resources::DialogTemplate& dialog = resources::AboutDialogTemplate();
  // No caption bar: the window manager draws nothing, the box draws its own
  // raised dialog frame around the client area.
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setFont(DialogFont(dialog.fontPointSize));
  const QSize clientSize = PixelSize(dialog);
  setFixedSize(clientSize + QSize(2 * FRAME_WIDTH, 2 * FRAME_WIDTH));
  client_ = new QWidget(this);
  client_->setGeometry(QRect(QPoint(FRAME_WIDTH, FRAME_WIDTH), clientSize));
  for (const resources::ControlTemplate& row : dialog.controls) {
    QWidget* widget = CreateControl(row, client_);
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      connect(button, &QPushButton::clicked, this, &QDialog::accept);
    }
  }
}

QWidget* CAboutDlg::Control(int id) const {
  return client_->findChild<QWidget*>(QStringLiteral("control%1").arg(id), Qt::FindDirectChildrenOnly);
}

void CAboutDlg::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  QPainter painter(this);
  qDrawWinPanel(&painter, rect(), palette(), false);
}

}  // namespace kvx::ui
