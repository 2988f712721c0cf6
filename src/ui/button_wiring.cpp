#include "ui/button_wiring.h"

#include <QAbstractButton>
#include <QRadioButton>

#include "acquisition/control_model.h"
#include "ui/control_renderer.h"
#include "ui/panel_handlers.h"

namespace kvx::ui {

ButtonWiring::ButtonWiring(ControlModel& model, PanelHandlers& handlers, ControlRenderer& renderer,
                           std::function<void(int)> onClick, QObject* parent)
    : QObject(parent), model_(model), handlers_(handlers), renderer_(renderer), onClick_(std::move(onClick)) {}

void ButtonWiring::Connect(int id, QAbstractButton* button) {
  connect(button, &QAbstractButton::pressed, this, [this, id] { OnPressed(id); });
  connect(button, &QAbstractButton::clicked, this, [this, id] { OnClicked(id); });
  if (button->isCheckable()) {
    connect(button, &QAbstractButton::toggled, this,
            [this, id, button](bool checked) { OnToggled(id, button, checked); });
  }
}

void ButtonWiring::OnPressed(int id) { toggledSincePress_.erase(id); }

void ButtonWiring::OnToggled(int id, QAbstractButton* button, bool checked) {
  if (renderer_.IsRendering()) return;  // the model shown: no handler, no write-back
  toggledSincePress_.insert(id);
  if (!checked && qobject_cast<QRadioButton*>(button)) {
    // A radio button goes off because another of its group came on, whose own
    // change updates the model; a render afterwards settles any other case.
    QMetaObject::invokeMethod(&renderer_, &ControlRenderer::RenderNow, Qt::QueuedConnection);
    return;
  }
  if (model_.IsChecked(id) == checked) return;
  if (!handlers_.Click(id)) {
    // Refused by the model (disabled there): the widget goes back to the model's state.
    QMetaObject::invokeMethod(&renderer_, &ControlRenderer::RenderNow, Qt::QueuedConnection);
    return;
  }
  renderer_.RenderNow();
}

void ButtonWiring::OnClicked(int id) {
  if (toggledSincePress_.erase(id) > 0) return;  // handled as the state change
  if (onClick_) onClick_(id);
}

}  // namespace kvx::ui
