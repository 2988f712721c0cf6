// Numeric IDs of the main window's controls (dialog template 102) that the
// code addresses, and the ID ranges that make up its panels.
#pragma once

#include <array>

namespace kvx::ids {

inline constexpr int CLOSE_BUTTON = 1;
inline constexpr int DEVICE_TREE = 2000;
inline constexpr int TREE_CAPTION = 2001;

// Environment row.
inline constexpr int LOG_CHECK = 3000;
inline constexpr int VOLTAGE_VALUE = 3002;
inline constexpr int TEMPERATURE_VALUE = 3004;
inline constexpr int FREQUENCY_VALUE = 3006;

// Device-information panel.
inline constexpr int MODEL_NAME = 4001;
inline constexpr int SERIAL_VALUE = 4003;
inline constexpr int FIRMWARE_VALUE = 4005;

// Calculation panel.
inline constexpr int CALC_CURRENT_RADIO = 5003;
inline constexpr int CALC_POWER_RADIO = 5004;
inline constexpr int CALC_CLEAR_BUTTON = 5008;
inline constexpr int AVERAGE_CHECK = 5033;
// Per outlet CH1..CH4.
inline constexpr std::array<int, 4> INSTANTANEOUS_VALUE = {5010, 5016, 5022, 5028};
inline constexpr std::array<int, 4> MAXIMUM_VALUE = {5011, 5017, 5023, 5029};
inline constexpr std::array<int, 4> MINIMUM_VALUE = {5012, 5018, 5024, 5030};
inline constexpr std::array<int, 4> PRESENT_VALUE = {5013, 5019, 5025, 5031};
inline constexpr std::array<int, 4> UNIT_TEXT = {5014, 5020, 5026, 5032};

// Waveform panel.
inline constexpr int WAVE_VALUE_CAPTION = 6002;
inline constexpr int WAVE_VALUE = 6003;
inline constexpr int WAVE_MAX_CAPTION = 6004;
inline constexpr int WAVE_MAX = 6005;
inline constexpr int WAVE_MIN_CAPTION = 6006;
inline constexpr int WAVE_MIN = 6007;
inline constexpr int OVERLAY_CHECK = 6008;
inline constexpr int WAVE_CURRENT_RADIO = 6009;
inline constexpr int WAVE_POWER_RADIO = 6010;
inline constexpr int WAVE_CLEAR_BUTTON = 6011;

// Y-scale radio buttons in the order the graph asks them, with their gain.
struct YScale {
  int id;
  double factor;
};
inline constexpr std::array<YScale, 6> Y_SCALES = {
    YScale{6012, 800}, YScale{6014, 400}, YScale{6015, 80}, YScale{6016, 16}, YScale{6017, 4}, YScale{6018, 1}};
inline constexpr int DEFAULT_Y_SCALE = 6016;

// Panels as ID ranges (inclusive).
struct IdRange {
  int first;
  int last;
};
inline constexpr IdRange DEVICE_INFO_PANEL = {4001, 4005};
inline constexpr IdRange CALCULATION_PANEL = {5001, 5033};
inline constexpr IdRange WAVEFORM_PANEL = {6002, 6019};
inline constexpr IdRange ENVIRONMENT_ROW = {3000, 3006};

// The 22 value fields with the bold value font, in the order they receive it
// (laid out by hand: one row per outlet, as they sit in the panel).
// clang-format off
inline constexpr std::array<int, 22> VALUE_FIELDS = {
    INSTANTANEOUS_VALUE[0], INSTANTANEOUS_VALUE[1], INSTANTANEOUS_VALUE[2], INSTANTANEOUS_VALUE[3],
    VOLTAGE_VALUE,          FREQUENCY_VALUE,        TEMPERATURE_VALUE,
    MAXIMUM_VALUE[0],       MINIMUM_VALUE[0],       PRESENT_VALUE[0],
    MAXIMUM_VALUE[1],       MINIMUM_VALUE[1],       PRESENT_VALUE[1],
    MAXIMUM_VALUE[2],       MINIMUM_VALUE[2],       PRESENT_VALUE[2],
    MAXIMUM_VALUE[3],       MINIMUM_VALUE[3],       PRESENT_VALUE[3],
    WAVE_VALUE,             WAVE_MAX,               WAVE_MIN};
// clang-format on

}  // namespace kvx::ids
