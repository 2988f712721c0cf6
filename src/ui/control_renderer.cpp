#include "ui/control_renderer.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>

#include "ui/accessibility.h"
#include "ui/dialog_layout.h"

namespace kvx::ui {

ControlRenderer::ControlRenderer(ControlModel& model, QObject* parent) : QObject(parent), model_(model) {
  timer_.setSingleShot(true);
  timer_.setInterval(MIN_RENDER_INTERVAL_MS);
  connect(&timer_, &QTimer::timeout, this, &ControlRenderer::RenderNow);
}

ControlRenderer::~ControlRenderer() { Stop(); }

void ControlRenderer::AddControl(int id, QWidget* widget, bool fitText) {
  controls_[id] = Entry{widget, fitText, std::nullopt};
}

void ControlRenderer::Start() {
  model_.SetChangeListener([this] { OnModelChanged(); });
}

void ControlRenderer::Stop() { model_.SetChangeListener(nullptr); }

void ControlRenderer::OnModelChanged() {
  if (requested_.exchange(true)) return;  // a render is already on its way
  QMetaObject::invokeMethod(this, &ControlRenderer::StartTimer, Qt::QueuedConnection);
}

void ControlRenderer::StartTimer() {
  if (!timer_.isActive()) timer_.start();
}

void ControlRenderer::RenderNow() {
  // Cleared before the snapshot: a change after it asks for the next render.
  requested_.store(false);
  timer_.stop();
  const ControlModel::Snapshot snapshot = model_.TakeSnapshot();
  const bool outer = !rendering_;
  rendering_ = true;
  for (const ControlState& state : snapshot.controls) {
    const auto it = controls_.find(state.id);
    if (it == controls_.end()) continue;
    Entry& entry = it->second;
    // Checked is compared with the widget itself: a clicked button may have
    // toggled on its own, and the model decides.
    SyncCheck(entry.widget, state.checked);
    if (entry.shown == state) continue;
    Apply(entry, state);
    entry.shown = state;
  }
  if (outer) rendering_ = false;
  ++renderCount_;
}

void ControlRenderer::SyncCheck(QWidget* widget, bool checked) {
  auto* button = qobject_cast<QAbstractButton*>(widget);
  if (!button || !button->isCheckable() || button->isChecked() == checked) return;
  // An exclusive group refuses to uncheck its checked button; the model
  // decides, so exclusivity is lifted for the moment of the change.
  QButtonGroup* group = button->group();
  const bool lift = group && group->exclusive() && !checked;
  if (lift) group->setExclusive(false);
  button->setChecked(checked);
  if (lift) group->setExclusive(true);
}

void ControlRenderer::Apply(const Entry& entry, const ControlState& state) {
  QWidget* widget = entry.widget;
  const std::optional<ControlState>& shown = entry.shown;
  if (!shown || shown->text != state.text) {
    const QString text = QString::fromStdString(state.text);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      const QString old = label->text();
      label->setText(text);
      NotifyValueFieldText(label, old);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(text);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      group->setTitle(text);
    }
    if (entry.fitText) FitTextToWidth(widget);
  }
  if (!shown || shown->enabled != state.enabled) widget->setEnabled(state.enabled);
  if (!shown || shown->visible != state.visible) widget->setVisible(state.visible);
}

}  // namespace kvx::ui
