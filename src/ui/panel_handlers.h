// The button handlers of the main window: the calculation panel's current and
// power radio buttons, the waveform panel's current and power captions, the
// two "表示クリア" buttons and the Log check box. Each radio handler acts only
// when its own button is checked in the control model, so the tree selection
// can run both handlers of a pair and only the checked one takes effect.
#pragma once

#include <functional>

#include "acquisition/app_state.h"

namespace kvx::ui {

class PanelHandlers {
 public:
  // `closeLogFiles` closes every open CSV log (the recorder's CloseLogFiles).
  PanelHandlers(AppState& state, std::function<void()> closeLogFiles);

  PanelHandlers(const PanelHandlers&) = delete;
  PanelHandlers& operator=(const PanelHandlers&) = delete;

  // A user's click on control `id`: the control's automatic reaction in the
  // model first (radio checked, check box toggled), then its handler. Returns
  // false when the model refused the click (disabled or unknown control).
  bool Click(int id);
  // Runs the handler of `id`, if it has one; returns whether it had one.
  bool RunHandler(int id);

  void OnCalculationCurrent();  // 5003
  void OnCalculationPower();    // 5004
  void OnWaveformCurrent();     // 6009
  void OnWaveformPower();       // 6010
  void OnClearDisplay();        // 5008 and 6011
  void OnLogCheck();            // 3000

 private:
  void SelectSummaryQuantity(std::uint8_t quantity, const char* unit);

  AppState& state_;
  std::function<void()> closeLogFiles_;
};

}  // namespace kvx::ui
