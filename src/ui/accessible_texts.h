// What the window's value fields and its waveform graph are called for
// assistive technology (a screen reader, a GUI automation tool): an
// accessible name and a description in the window's language, while the
// fields themselves keep showing only their numbers. The names use the words
// the window shows around a field (the outlet row "１番", the column headings
// "最大値", "最小値", "瞬時値", the row labels of the environment), so what a
// listener hears matches what a reader sees.
#pragma once

#include <string>

namespace kvx::ui {

struct AccessibleText {
  std::string name;
  std::string description;
};

// The name and description of value field `id` (the 22 fields of template
// 102 and the serial number and firmware texts 4003 and 4005); empty for any
// other control. `outlet` (1 to 4, or 0 before any waveform view) names the
// outlet of the waveform panel's three fields 6003, 6005 and 6007.
AccessibleText AccessibleTextOfField(int id, int outlet);

// The waveform graph of `outlet` (1 to 4).
AccessibleText AccessibleTextOfGraph(int outlet);

}  // namespace kvx::ui
