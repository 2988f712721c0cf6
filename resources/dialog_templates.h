// Dialog templates 100 (About box) and 102 (main window), string 101 and the
// images of the window, as plain data: the control model starts from these
// texts and states, the Qt window builds its widgets from the same rows.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace kvx::resources {

enum class ControlKind {
  DefaultPushButton,
  PushButton,
  GroupBox,
  RadioButton,  // automatic radio button
  CheckBox,     // automatic check box
  StaticText,
  ValueField,  // right-aligned, vertically centred static text with a thin sunken edge
  TreeView,
};

enum class TextAlign { Left, Center, Right };

struct ControlTemplate {
  int id;
  ControlKind kind;
  std::string_view text;  // UTF-8
  int x, y, width, height;  // dialog units
  TextAlign align;
  bool centerVertically;
  bool tabStop;
  bool visibleAtStart;
};

struct DialogTemplate {
  int id;
  std::string_view title;
  std::string_view fontFamily;
  int fontPointSize;
  int width, height;  // dialog units
  std::span<const ControlTemplate> controls;  // creation order = tab order
};

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_KVXCLIENT01_DIALOG = 102;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDR_MAINFRAME = 128;   // application icon
inline constexpr int IDB_FOLDER_CLOSED = 130;
inline constexpr int IDB_FOLDER_OPEN = 131;
inline constexpr int IDM_ABOUTBOX = 16;     // command ID of the About entry

const DialogTemplate& MainDialogTemplate();   // template 102
const DialogTemplate& AboutDialogTemplate();  // template 100
std::string_view LoadString(int id);          // "" for an unknown ID

// Finds a control row of template 102 by ID; null when there is none.
const ControlTemplate* FindControl(int id);

// Dialog units to pixels with base units 7 x 12 (rounded to nearest).
inline constexpr int DialogUnitsToPixelsX(int x) { return (x * 7 + 2) / 4; }
inline constexpr int DialogUnitsToPixelsY(int y) { return (y * 12 + 4) / 8; }

// 16 x 16 images with 16 colours, as 0x00RRGGBB pixels, row by row.
using Image16 = std::array<std::uint32_t, 16 * 16>;
const Image16& FolderClosedBitmap();  // bitmap 130
const Image16& FolderOpenBitmap();    // bitmap 131
// 32 x 32 application icon (icon 128), 0xAARRGGBB pixels.
const std::array<std::uint32_t, 32 * 32>& ApplicationIcon();

}  // namespace kvx::resources
