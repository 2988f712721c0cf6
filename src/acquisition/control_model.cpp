#include "acquisition/control_model.h"

#include <algorithm>

#include "acquisition/control_ids.h"
#include "resources/dialog_templates.h"

namespace kvx {

namespace {
const std::vector<std::vector<int>>& RadioGroups() {
  static const std::vector<std::vector<int>> groups = [] {
    std::vector<int> yScales;
    for (const ids::YScale& scale : ids::Y_SCALES) yScales.push_back(scale.id);
    return std::vector<std::vector<int>>{
        {ids::WAVE_CURRENT_RADIO, ids::WAVE_POWER_RADIO}, {ids::CALC_CURRENT_RADIO, ids::CALC_POWER_RADIO}, yScales};
  }();
  return groups;
}
}  // namespace

const ControlState* ControlModel::Snapshot::Find(int id) const {
  const auto it = std::find_if(controls.begin(), controls.end(), [id](const ControlState& c) { return c.id == id; });
  return it == controls.end() ? nullptr : &*it;
}

ControlModel::ControlModel() {
  for (const resources::ControlTemplate& row : resources::MainDialogTemplate().controls) {
    controls_.push_back(ControlState{row.id, std::string(row.text), false, row.visibleAtStart, true});
  }
}

ControlState* ControlModel::FindLocked(int id) {
  const auto it = std::find_if(controls_.begin(), controls_.end(), [id](const ControlState& c) { return c.id == id; });
  return it == controls_.end() ? nullptr : &*it;
}

const ControlState* ControlModel::FindLocked(int id) const {
  return const_cast<ControlModel*>(this)->FindLocked(id);
}

template <typename Mutation>
void ControlModel::Change(Mutation mutation) {
  std::function<void()> listener;
  {
    std::lock_guard lock(mutex_);
    if (!mutation()) return;
    ++version_;
    listener = listener_;
  }
  if (listener) listener();
}

std::string ControlModel::GetText(int id) const {
  std::lock_guard lock(mutex_);
  const ControlState* c = FindLocked(id);
  return c ? c->text : std::string();
}

bool ControlModel::IsChecked(int id) const {
  std::lock_guard lock(mutex_);
  const ControlState* c = FindLocked(id);
  return c && c->checked;
}

bool ControlModel::IsVisible(int id) const {
  std::lock_guard lock(mutex_);
  const ControlState* c = FindLocked(id);
  return c && c->visible;
}

bool ControlModel::IsEnabled(int id) const {
  std::lock_guard lock(mutex_);
  const ControlState* c = FindLocked(id);
  return c && c->enabled;
}

void ControlModel::SetText(int id, std::string_view text) {
  Change([&] {
    ControlState* c = FindLocked(id);
    if (!c || c->text == text) return false;
    c->text = std::string(text);
    return true;
  });
}

void ControlModel::SetTexts(const std::vector<std::pair<int, std::string>>& texts) {
  Change([&] {
    bool changed = false;
    for (const auto& [id, text] : texts) {
      ControlState* c = FindLocked(id);
      if (c && c->text != text) {
        c->text = text;
        changed = true;
      }
    }
    return changed;
  });
}

void ControlModel::SetCheck(int id, bool checked) {
  Change([&] {
    ControlState* c = FindLocked(id);
    if (!c || c->checked == checked) return false;
    c->checked = checked;
    return true;
  });
}

void ControlModel::Show(int id, bool show) { ShowControlRange(id, id, show); }

void ControlModel::ShowControlRange(int firstId, int lastId, bool show) {
  Change([&] {
    bool changed = false;
    for (ControlState& c : controls_) {
      if (c.id >= firstId && c.id <= lastId && c.visible != show) {
        c.visible = show;
        changed = true;
      }
    }
    return changed;
  });
}

void ControlModel::Enable(int id, bool enable) {
  Change([&] {
    ControlState* c = FindLocked(id);
    if (!c || c->enabled == enable) return false;
    c->enabled = enable;
    return true;
  });
}

bool ControlModel::Click(int id) {
  const resources::ControlTemplate* row = resources::FindControl(id);
  bool accepted = false;
  Change([&] {
    ControlState* c = FindLocked(id);
    if (!c || !c->enabled || !row) return false;
    accepted = true;
    if (row->kind == resources::ControlKind::CheckBox) {
      c->checked = !c->checked;
      return true;
    }
    if (row->kind == resources::ControlKind::RadioButton) {
      bool changed = !c->checked;
      for (int other : RadioGroupOf(id)) {
        ControlState* o = FindLocked(other);
        if (o && o != c && o->checked) {
          o->checked = false;
          changed = true;
        }
      }
      c->checked = true;
      return changed;
    }
    return false;
  });
  return accepted;
}

ControlModel::Snapshot ControlModel::TakeSnapshot() const {
  std::lock_guard lock(mutex_);
  return Snapshot{version_, controls_};
}

void ControlModel::SetChangeListener(std::function<void()> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

std::vector<int> ControlModel::RadioGroupOf(int id) {
  for (const auto& group : RadioGroups()) {
    if (std::find(group.begin(), group.end(), id) != group.end()) return group;
  }
  return {};
}

}  // namespace kvx
