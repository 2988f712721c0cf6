// The About box, dialog template 100: program name, "Client Software", the
// version and a "Close (&X)" default button, on a fixed dialog frame without
// a caption bar.
#pragma once

#include <QDialog>

namespace kvx::ui {

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  // The width of the dialog frame drawn around the client area, in pixels.
  static constexpr int FRAME_WIDTH = 3;

  explicit CAboutDlg(QWidget* parent = nullptr);

  QWidget* Control(int id) const;
  QWidget* clientArea() const { return client_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QWidget* client_ = nullptr;
};

}  // namespace kvx::ui
