// Shows the control model on the widgets: text, check state, visibility and
// enabled state of every control. The model may change on any thread and as
// often as readings arrive; the renderer answers with at most 60 renders a
// second: the first change after a render posts one queued request to the
// user-interface thread (an atomic flag coalesces the rest), which starts a
// single-shot timer, and the render at its time-out shows the model as it is
// then. A burst of changes therefore costs the user-interface thread one
// render, and each render touches only widgets whose state differs.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>

#include "acquisition/control_model.h"

class QWidget;

namespace kvx::ui {

class ControlRenderer final : public QObject {
  Q_OBJECT

 public:
  static constexpr int MAX_RENDERS_PER_SECOND = 60;
  // The smallest gap between two timed renders, rounded up: 17 ms.
  static constexpr int MIN_RENDER_INTERVAL_MS = (1000 + MAX_RENDERS_PER_SECOND - 1) / MAX_RENDERS_PER_SECOND;

  ControlRenderer(ControlModel& model, QObject* parent = nullptr);
  ~ControlRenderer() override;

  // `fitText`: narrow the font when a new text does not fit (FitTextToWidth).
  void AddControl(int id, QWidget* widget, bool fitText = false);

  // Follows the model's changes from now on (installs its change listener).
  void Start();
  // Stops following them. Call before the model's writers can no longer run
  // (the acquisition thread joined), or from the user-interface thread when
  // no other thread writes.
  void Stop();

  // Shows the model at once (user actions, start-up).
  void RenderNow();
  std::uint64_t renderCount() const { return renderCount_; }
  // True while a render writes the widgets: a check state changing then is
  // the model being shown (the program's own setting), not a user's change.
  bool IsRendering() const { return rendering_; }

 private:
  struct Entry {
    QWidget* widget = nullptr;
    bool fitText = false;
    std::optional<ControlState> shown;
  };

  void OnModelChanged();  // any thread
  void StartTimer();      // user-interface thread
  static void SyncCheck(QWidget* widget, bool checked);
  static void Apply(const Entry& entry, const ControlState& state);

  ControlModel& model_;
  QTimer timer_;
  std::atomic<bool> requested_{false};
  std::map<int, Entry> controls_;
  std::uint64_t renderCount_ = 0;
  bool rendering_ = false;
};

}  // namespace kvx::ui
