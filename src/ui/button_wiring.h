// Connects the window's buttons to the control model and the handlers so
// that every change of a check box's or radio button's state counts, however
// it was made: a mouse click, the keyboard (Space, the arrow keys in a radio
// group), an assistive technology's Toggle action or code that sets the
// widget's state. Each such change goes into the model as the button's
// automatic reaction and then runs the button's handler, exactly as a click.
//
// Only the renderer's own writes are exempt: they show the model (the
// program's BM_SETCHECK), so they run no handler and are not fed back into
// the model. A click that changes no state (a push button, a radio button
// that is already checked) still runs the click callback.
#pragma once

#include <QObject>
#include <functional>
#include <set>

class QAbstractButton;

namespace kvx {
class ControlModel;
}

namespace kvx::ui {

class ControlRenderer;
class PanelHandlers;

class ButtonWiring final : public QObject {
  Q_OBJECT

 public:
  // `onClick(id)`: a click that changed no check state (the dialog closes
  // for button 1 and runs the handler otherwise).
  ButtonWiring(ControlModel& model, PanelHandlers& handlers, ControlRenderer& renderer,
               std::function<void(int)> onClick, QObject* parent = nullptr);

  void Connect(int id, QAbstractButton* button);

 private:
  void OnPressed(int id);
  void OnToggled(int id, QAbstractButton* button, bool checked);
  void OnClicked(int id);

  ControlModel& model_;
  PanelHandlers& handlers_;
  ControlRenderer& renderer_;
  std::function<void(int)> onClick_;
  // Buttons whose state changed since they were last pressed: their click
  // was already handled as that change.
  std::set<int> toggledSincePress_;
};

}  // namespace kvx::ui
