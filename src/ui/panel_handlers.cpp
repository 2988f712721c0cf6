#include "ui/panel_handlers.h"

#include <utility>

#include "acquisition/control_ids.h"
#include "device/protocol.h"

namespace kvx::ui {

PanelHandlers::PanelHandlers(AppState& state, std::function<void()> closeLogFiles)
    : state_(state), closeLogFiles_(std::move(closeLogFiles)) {}

bool PanelHandlers::Click(int id) {
  if (!state_.controls.Click(id)) return false;
  RunHandler(id);
  return true;
}

bool PanelHandlers::RunHandler(int id) {
  switch (id) {
    case ids::CALC_CURRENT_RADIO:
      OnCalculationCurrent();
      return true;
    case ids::CALC_POWER_RADIO:
      OnCalculationPower();
      return true;
    case ids::WAVE_CURRENT_RADIO:
      OnWaveformCurrent();
      return true;
    case ids::WAVE_POWER_RADIO:
      OnWaveformPower();
      return true;
    case ids::CALC_CLEAR_BUTTON:
    case ids::WAVE_CLEAR_BUTTON:
      OnClearDisplay();
      return true;
    case ids::LOG_CHECK:
      OnLogCheck();
      return true;
    default:
      return false;
  }
}

void PanelHandlers::SelectSummaryQuantity(std::uint8_t quantity, const char* unit) {
  state_.selectedOutlet.store(0);
  state_.selectedQuantity.store(quantity);
  ControlModel& controls = state_.controls;
  controls.SetTexts({{ids::UNIT_TEXT[0], unit}, {ids::UNIT_TEXT[1], unit}, {ids::UNIT_TEXT[2], unit},
                     {ids::UNIT_TEXT[3], unit}});
  ResetStatistics(state_.measurement);
}

void PanelHandlers::OnCalculationCurrent() {
  if (!state_.controls.IsChecked(ids::CALC_CURRENT_RADIO)) return;
  SelectSummaryQuantity(protocol::QUANTITY_CURRENT, "mA");
}

void PanelHandlers::OnCalculationPower() {
  if (!state_.controls.IsChecked(ids::CALC_POWER_RADIO)) return;
  SelectSummaryQuantity(protocol::QUANTITY_POWER, "W");
}

void PanelHandlers::OnWaveformCurrent() {
  if (!state_.controls.IsChecked(ids::WAVE_CURRENT_RADIO)) return;
  state_.controls.SetTexts({{ids::WAVE_VALUE_CAPTION, "実効電流 [mA]"},
                            {ids::WAVE_MAX_CAPTION, "最 大 値 [mA]"},
                            {ids::WAVE_MIN_CAPTION, "最 小 値 [mA]"}});
}

void PanelHandlers::OnWaveformPower() {
  if (!state_.controls.IsChecked(ids::WAVE_POWER_RADIO)) return;
  state_.controls.SetTexts({{ids::WAVE_VALUE_CAPTION, "有効電力 [W]"},
                            {ids::WAVE_MAX_CAPTION, "最 大 値 [W]"},
                            {ids::WAVE_MIN_CAPTION, "最 小 値 [W]"}});
}

void PanelHandlers::OnClearDisplay() { ResetStatistics(state_.measurement); }

void PanelHandlers::OnLogCheck() {
  if (state_.controls.IsChecked(ids::LOG_CHECK)) return;  // the recorder opens files at its next record
  if (closeLogFiles_) closeLogFiles_();
}

}  // namespace kvx::ui
