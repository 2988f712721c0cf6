#include "ui/accessible_texts.h"

#include <array>

#include "acquisition/control_ids.h"

namespace kvx::ui {

namespace {

// "１番" .. "４番": the outlet labels of the calculation panel.
std::string OutletLabel(int outlet) {
  static const std::array<const char*, 4> kLabels = {"１番", "２番", "３番", "４番"};
  if (outlet < 1 || outlet > 4) return {};
  return kLabels[static_cast<std::size_t>(outlet - 1)];
}

// The outlet row of a calculation-panel field (1 to 4), 0 when it is none.
int RowOf(const std::array<int, 4>& column, int id) {
  for (std::size_t k = 0; k < column.size(); ++k) {
    if (column[k] == id) return static_cast<int>(k) + 1;
  }
  return 0;
}

AccessibleText CalculationField(int id) {
  if (const int n = RowOf(ids::PRESENT_VALUE, id)) {
    return {OutletLabel(n) + " 現在値",
            OutletLabel(n) + "コンセントの現在の電流または電力。単位は右隣の表示（mA または W）。"
                             "「平均値を表示」のときは直近12回の平均"};
  }
  if (const int n = RowOf(ids::MAXIMUM_VALUE, id)) {
    return {OutletLabel(n) + " 最大値", OutletLabel(n) + "コンセントの最大値（表示クリアの後から）"};
  }
  if (const int n = RowOf(ids::MINIMUM_VALUE, id)) {
    return {OutletLabel(n) + " 最小値", OutletLabel(n) + "コンセントの最小値（表示クリアの後から）"};
  }
  if (const int n = RowOf(ids::INSTANTANEOUS_VALUE, id)) {
    return {OutletLabel(n) + " 瞬時値", OutletLabel(n) + "コンセントの最新の測定値"};
  }
  return {};
}

AccessibleText WaveformField(int id, int outlet) {
  // Before the first waveform view the panel has no outlet yet.
  const std::string subject = outlet >= 1 && outlet <= 4 ? OutletLabel(outlet) + "波形" : "波形";
  const std::string about = outlet >= 1 && outlet <= 4 ? OutletLabel(outlet) + "コンセントの" : "";
  const std::string unit = "（電流 [mA] または電力 [W]、見出しのとおり）";
  switch (id) {
    case ids::WAVE_VALUE:
      return {subject + " 現在値", about + "波形から求めた実効電流または有効電力" + unit};
    case ids::WAVE_MAX:
      return {subject + " 最大値", about + "実効電流または有効電力の最大値" + unit};
    case ids::WAVE_MIN:
      return {subject + " 最小値", about + "実効電流または有効電力の最小値" + unit};
    default:
      return {};
  }
}

}  // namespace

AccessibleText AccessibleTextOfField(int id, int outlet) {
  switch (id) {
    case ids::VOLTAGE_VALUE:
      return {"入力電圧", "電源の電圧 [V]"};
    case ids::FREQUENCY_VALUE:
      return {"周波数", "電源の周波数 [Hz]"};
    case ids::TEMPERATURE_VALUE:
      return {"庫内温度", "本体内部の温度 [℃]"};
    case ids::SERIAL_VALUE:
      return {"シリアル番号", "選択したデバイスのシリアル番号（16進数）"};
    case ids::FIRMWARE_VALUE:
      return {"ファームウェアバージョン", "選択したデバイスのファームウェアのバージョン"};
    case ids::WAVE_VALUE:
    case ids::WAVE_MAX:
    case ids::WAVE_MIN:
      return WaveformField(id, outlet);
    default:
      return CalculationField(id);
  }
}

AccessibleText AccessibleTextOfGraph(int outlet) {
  const std::string label = OutletLabel(outlet);
  if (label.empty()) return {"波形", "コンセントの電流波形のグラフ"};
  return {label + "波形", label + "コンセントの電流波形のグラフ（縦軸の目盛は「Y軸目盛の単位」のとおり）"};
}

}  // namespace kvx::ui
