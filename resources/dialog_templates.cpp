#include "dialog_templates.h"

#include <algorithm>

#include "kvx_version.h"

namespace kvx::resources {

namespace {

using K = ControlKind;
using A = TextAlign;

// Template 102 in creation (and tab) order. Only 1, 2000 and 2001 are visible
// at start; the panels are shown and hidden as ID ranges.
constexpr ControlTemplate kMainControls[] = {
    {1, K::DefaultPushButton, "閉じる", 269, 180, 50, 14, A::Center, true, true, true},
    {2000, K::TreeView, "Tree1", 7, 15, 95, 179, A::Left, false, true, true},
    {6019, K::GroupBox, "表示", 104, 2, 56, 23, A::Left, false, false, false},
    {6009, K::RadioButton, "電流", 106, 11, 25, 10, A::Left, true, false, false},
    {6010, K::RadioButton, "電力", 132, 11, 25, 10, A::Left, true, false, false},
    {5001, K::GroupBox, "計算結果", 106, 11, 70, 108, A::Left, false, false, false},
    {5003, K::RadioButton, "電流", 114, 24, 27, 10, A::Left, true, false, false},
    {5004, K::RadioButton, "電力", 142, 24, 26, 10, A::Left, true, false, false},
    {5008, K::PushButton, "表示クリア", 280, 122, 38, 14, A::Center, true, true, false},
    {2001, K::StaticText, "接続されているデバイス", 9, 6, 74, 8, A::Left, false, false, true},
    {5009, K::StaticText, "１番", 111, 42, 12, 8, A::Left, false, false, false},
    {5015, K::StaticText, "２番", 111, 62, 12, 8, A::Left, false, false, false},
    {5021, K::StaticText, "３番", 111, 82, 12, 8, A::Left, false, false, false},
    {5027, K::StaticText, "４番", 111, 102, 12, 8, A::Left, false, false, false},
    {5013, K::ValueField, "(CH1NOW)", 124, 39, 36, 14, A::Right, true, false, false},
    {5019, K::ValueField, "(CH2NOW)", 124, 59, 36, 14, A::Right, true, false, false},
    {5025, K::ValueField, "(CH3NOW)", 124, 79, 36, 14, A::Right, true, false, false},
    {5031, K::ValueField, "(CH4NOW)", 124, 99, 36, 14, A::Right, true, false, false},
    {5014, K::StaticText, "mA", 162, 42, 10, 8, A::Left, false, false, false},
    {5020, K::StaticText, "mA", 162, 62, 10, 8, A::Left, false, false, false},
    {5026, K::StaticText, "mA", 162, 82, 10, 8, A::Left, false, false, false},
    {5032, K::StaticText, "mA", 162, 102, 10, 8, A::Left, false, false, false},
    {5002, K::GroupBox, "記録", 184, 11, 135, 108, A::Left, false, false, false},
    {5005, K::StaticText, "最大値", 200, 25, 25, 12, A::Left, false, false, false},
    {5006, K::StaticText, "最小値", 242, 25, 25, 12, A::Left, false, false, false},
    {5007, K::StaticText, "瞬時値", 284, 25, 25, 12, A::Left, false, false, false},
    {5011, K::ValueField, "(CH1MAX)", 191, 39, 36, 14, A::Right, true, false, false},
    {5012, K::ValueField, "(CH1MIN)", 233, 39, 36, 14, A::Right, true, false, false},
    {5010, K::ValueField, "(CH1AVG)", 275, 39, 36, 14, A::Right, true, false, false},
    {5017, K::ValueField, "(CH2MAX)", 191, 59, 36, 14, A::Right, true, false, false},
    {5018, K::ValueField, "(CH2MIN)", 233, 59, 36, 14, A::Right, true, false, false},
    {5016, K::ValueField, "(CH2AVG)", 275, 59, 36, 14, A::Right, true, false, false},
    {5023, K::ValueField, "(CH3MAX)", 191, 79, 36, 14, A::Right, true, false, false},
    {5024, K::ValueField, "(CH3MIN)", 233, 79, 36, 14, A::Right, true, false, false},
    {5022, K::ValueField, "(CH3AVG)", 275, 79, 36, 14, A::Right, true, false, false},
    {5029, K::ValueField, "(CH4MAX)", 191, 99, 36, 14, A::Right, true, false, false},
    {5030, K::ValueField, "(CH4MIN)", 233, 99, 36, 14, A::Right, true, false, false},
    {5028, K::ValueField, "(CH4AVG)", 275, 99, 36, 14, A::Right, true, false, false},
    {3001, K::StaticText, "入力電圧 [V] ", 109, 141, 42, 8, A::Left, false, false, false},
    {3005, K::StaticText, "周 波 数 [Hz]", 109, 159, 42, 8, A::Left, false, false, false},
    {3003, K::StaticText, "庫内温度 [℃]", 109, 177, 42, 8, A::Left, false, false, false},
    {3002, K::ValueField, "(voltage)", 155, 137, 36, 14, A::Right, true, false, false},
    {3006, K::ValueField, "(freqency)", 155, 155, 36, 14, A::Right, true, false, false},
    {3004, K::ValueField, "(temp)", 155, 173, 36, 14, A::Right, true, false, false},
    {4001, K::StaticText, "LM-3827QD", 110, 17, 34, 8, A::Left, true, false, false},
    {4002, K::StaticText, "シリアル番号：", 111, 36, 43, 8, A::Left, true, false, false},
    {4003, K::StaticText, "01234", 198, 36, 33, 8, A::Left, true, false, false},
    {4004, K::StaticText, "ファームウェアバージョン：", 110, 49, 77, 8, A::Left, true, false, false},
    {4005, K::StaticText, "V2.0L10", 198, 49, 35, 8, A::Left, true, false, false},
    {6002, K::StaticText, "実行電流 [mA]", 106, 30, 47, 10, A::Center, true, false, false},
    {6003, K::ValueField, "Value", 107, 40, 43, 14, A::Right, true, false, false},
    {6004, K::StaticText, "最 大 値 [mA]", 106, 57, 47, 10, A::Center, true, false, false},
    {6005, K::ValueField, "MAX", 107, 67, 43, 14, A::Right, true, false, false},
    {6006, K::StaticText, "最 小 値 [mA]", 106, 84, 47, 10, A::Center, true, false, false},
    {6007, K::ValueField, "MIN", 107, 94, 43, 14, A::Right, true, false, false},
    {6011, K::PushButton, "表示クリア", 109, 113, 38, 16, A::Center, true, true, false},
    {6013, K::GroupBox, "Y軸目盛の単位", 197, 122, 58, 71, A::Left, false, false, false},
    {6012, K::RadioButton, "5mA/25W", 200, 130, 51, 10, A::Left, true, false, false},
    {6014, K::RadioButton, "10mA/1W", 200, 140, 45, 10, A::Left, true, false, false},
    {6015, K::RadioButton, "50mA/5W", 200, 150, 45, 10, A::Left, true, false, false},
    {6016, K::RadioButton, "250mA/25W", 200, 160, 51, 10, A::Left, true, false, false},
    {6017, K::RadioButton, "1A/100W", 200, 170, 51, 10, A::Left, true, false, false},
    {6018, K::RadioButton, "4A/400W", 200, 180, 51, 10, A::Left, true, false, false},
    {6008, K::CheckBox, "重ね書き", 267, 125, 42, 10, A::Left, true, true, false},
    {3000, K::CheckBox, "ログ", 267, 163, 28, 10, A::Left, true, true, false},
    {5033, K::CheckBox, "平均値を表示(反応遅い)", 107, 122, 89, 10, A::Left, true, true, false},
};

constexpr ControlTemplate kAboutControls[] = {
    {1000, K::StaticText, "KVX", 8, 9, 98, 8, A::Left, false, false, true},
    {1001, K::StaticText, "Client Software", 8, 20, 66, 8, A::Left, false, false, true},
    {1003, K::StaticText, KVX_VERSION_LABEL, 100, 20, 92, 8, A::Left, false, false, true},
    {1, K::DefaultPushButton, "Close (&X)", 76, 61, 50, 14, A::Center, true, true, true},
};

const DialogTemplate kMainDialog{IDD_KVXCLIENT01_DIALOG, "KVX - Client Software", "ＭＳ Ｐゴシック", 9, 326, 201,
                                 kMainControls};
const DialogTemplate kAboutDialog{IDD_ABOUTBOX, "", "ＭＳ Ｐゴシック", 10, 201, 78, kAboutControls};

// Draws a 16 x 16 folder in 16-colour style: black outline, yellow body; the
// open folder shows its front flap tilted.
Image16 MakeFolder(bool open) {
  constexpr std::uint32_t kBlack = 0x000000, kYellow = 0xFFFF00, kDark = 0x808000, kWhite = 0xFFFFFF;
  Image16 image{};
  image.fill(kBlack);  // black is the transparent mask colour
  auto set = [&](int x, int y, std::uint32_t c) { image[static_cast<std::size_t>(y * 16 + x)] = c; };
  // Tab.
  for (int x = 1; x <= 6; ++x) set(x, 3, kDark);
  for (int y = 3; y <= 4; ++y) set(1, y, kDark), set(6, y, kDark);
  for (int x = 2; x <= 5; ++x) set(x, 4, kYellow);
  // Body outline.
  for (int x = 1; x <= 14; ++x) set(x, 5, kDark), set(x, 13, kDark);
  for (int y = 5; y <= 13; ++y) set(1, y, kDark), set(14, y, kDark);
  for (int y = 6; y <= 12; ++y)
    for (int x = 2; x <= 13; ++x) set(x, y, kYellow);
  if (open) {
    // Paper inside and a flap drawn lower and shifted right.
    for (int x = 3; x <= 12; ++x) set(x, 6, kWhite);
    for (int x = 3; x <= 15; ++x) set(x, 8, kDark);
    for (int y = 9; y <= 12; ++y)
      for (int x = 3 + (12 - y) / 2; x <= 14; ++x) set(x, y, kYellow);
  }
  return image;
}

std::array<std::uint32_t, 32 * 32> MakeIcon() {
  // A power strip: grey body with four outlets and a blue "current" wave.
  std::array<std::uint32_t, 32 * 32> icon{};
  auto set = [&](int x, int y, std::uint32_t c) { icon[static_cast<std::size_t>(y * 32 + x)] = c; };
  for (int y = 8; y < 26; ++y)
    for (int x = 2; x < 30; ++x) set(x, y, (x == 2 || x == 29 || y == 8 || y == 25) ? 0xFF303030 : 0xFFD8D8D8);
  for (int k = 0; k < 4; ++k) {
    const int x0 = 5 + 6 * k;
    for (int y = 18; y < 23; ++y)
      for (int x = x0; x < x0 + 4; ++x) set(x, y, 0xFF404040);
  }
  const int wave[] = {14, 12, 11, 11, 12, 14, 16, 17, 17, 16};
  for (int x = 4; x < 28; ++x) set(x, wave[x % 10] - 1, 0xFF2040C0);
  return icon;
}

}  // namespace

const DialogTemplate& MainDialogTemplate() { return kMainDialog; }
const DialogTemplate& AboutDialogTemplate() { return kAboutDialog; }

std::string_view LoadString(int id) { return id == IDS_ABOUTBOX ? "KVXClient について(&A)..." : ""; }

const ControlTemplate* FindControl(int id) {
  const auto it = std::find_if(std::begin(kMainControls), std::end(kMainControls),
                               [id](const ControlTemplate& c) { return c.id == id; });
  return it == std::end(kMainControls) ? nullptr : &*it;
}

const Image16& FolderClosedBitmap() {
  static const Image16 image = MakeFolder(false);
  return image;
}

const Image16& FolderOpenBitmap() {
  static const Image16 image = MakeFolder(true);
  return image;
}

const std::array<std::uint32_t, 32 * 32>& ApplicationIcon() {
  static const auto icon = MakeIcon();
  return icon;
}

}  // namespace kvx::resources
