// The controls of the main window (dialog template 102) by numeric ID: text,
// check state, visibility and enabled state. Handlers and the acquisition
// thread work only through this model; the Qt window renders it and the
// headless status line and the tests read it. Every operation takes one short
// internal lock, so the acquisition thread never waits on the user-interface
// thread, and a reader can take a consistent snapshot of all controls.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvx {

struct ControlState {
  int id = 0;
  std::string text;  // UTF-8
  bool checked = false;
  bool visible = false;
  bool enabled = true;
  bool operator==(const ControlState&) const = default;
};

class ControlModel {
 public:
  struct Snapshot {
    std::uint64_t version = 0;
    std::vector<ControlState> controls;  // creation order of template 102
    const ControlState* Find(int id) const;
  };

  // Starts from template 102: its texts, every control unchecked, only 1,
  // 2000 and 2001 visible, all enabled.
  ControlModel();

  ControlModel(const ControlModel&) = delete;
  ControlModel& operator=(const ControlModel&) = delete;

  // ---- Reads. An unknown ID reads as empty text, unchecked, hidden.
  std::string GetText(int id) const;
  bool IsChecked(int id) const;  // BM_GETCHECK returning 1
  bool IsVisible(int id) const;
  bool IsEnabled(int id) const;

  // ---- Writes. Each is one change: readers see all of it or none of it. A
  // write that changes nothing does not count as a change. Unknown IDs are ignored.
  void SetText(int id, std::string_view text);  // SetDlgItemTextA
  void SetTexts(const std::vector<std::pair<int, std::string>>& texts);
  void SetCheck(int id, bool checked);              // BM_SETCHECK: no handler runs
  void Show(int id, bool show);                     // ShowWindow SW_SHOW / SW_HIDE
  void ShowControlRange(int firstId, int lastId, bool show);  // every existing ID first..last
  void Enable(int id, bool enable);                 // EnableWindow

  // A user's click as an automatic button reacts to it, before the handler
  // runs: a radio button becomes checked and the others of its group
  // unchecked; a check box toggles. Other kinds are unchanged. Returns false
  // for a disabled or unknown control (then no handler should run).
  bool Click(int id);

  Snapshot TakeSnapshot() const;

  // Called after every change, on the thread that made it, outside the lock.
  // It must be cheap and must not block (the Qt window posts a coalesced,
  // rate-limited repaint; tests count calls).
  void SetChangeListener(std::function<void()> listener);

  // The radio groups of template 102 ({6009, 6010}, {5003, 5004} and the six
  // Y-scale buttons); empty for a control outside them.
  static std::vector<int> RadioGroupOf(int id);

 private:
  template <typename Mutation>
  void Change(Mutation mutation);
  ControlState* FindLocked(int id);
  const ControlState* FindLocked(int id) const;

  mutable std::mutex mutex_;
  std::vector<ControlState> controls_;
  std::uint64_t version_ = 0;
  std::function<void()> listener_;
};

}  // namespace kvx
