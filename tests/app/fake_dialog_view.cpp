#include "tests/app/fake_dialog_view.h"

namespace t42rm::app::testing {

FakeDialogView::FakeDialogView() {
  auto add = [this](const ControlTemplate& c) {
    Control& ctl = controls_[c.id];
    ctl.kind = c.kind;
    ctl.enabled = (c.styles & kStyleDisabled) == 0;
    ctl.visible = (c.styles & kStyleHidden) == 0;
    ctl.text = std::string(c.text);
  };
  for (const ControlTemplate& c : MainDialogTemplate().controls) add(c);
  for (const ControlTemplate& c : MainDialogAdditions()) add(c);
}

bool FakeDialogView::Click(int id) {
  const auto it = controls_.find(id);
  if (it == controls_.end() || !it->second.enabled || !it->second.visible) return false;
  if (it->second.kind == ControlKind::kAutoRadioButton) {
    // One group: the four mode buttons.
    for (auto& [otherId, other] : controls_)
      if (other.kind == ControlKind::kAutoRadioButton) other.checked = otherId == id;
  }
  if (events_) events_->OnCommand(id);
  return true;
}

void FakeDialogView::AcceptFile(const std::string& fullPath) {
  const size_t slash = fullPath.find_last_of('/');
  AnswerFile({true, fullPath, slash == std::string::npos ? fullPath : fullPath.substr(slash + 1)});
}

int FakeDialogView::RunModal(DialogEvents& events) {
  ++modalRuns;
  events_ = &events;
  events.OnInitDialog();
  if (onModal) onModal(*this);
  events_ = nullptr;
  return endResult.value_or(0);
}

void FakeDialogView::AddComboString(int id, const std::string& text) {
  controls_.at(id).items.push_back(text);
}

void FakeDialogView::SetComboSelection(int id, int index) {
  Control& c = controls_.at(id);
  if (index < 0 || index >= static_cast<int>(c.items.size())) return;
  c.selection = index;
  c.text = c.items[static_cast<size_t>(index)];
}

FileChoice FakeDialogView::ChooseFile(const FileFilter& filter) {
  filtersOffered.push_back(filter);
  if (fileAnswers_.empty()) return {};
  FileChoice c = std::move(fileAnswers_.front());
  fileAnswers_.pop_front();
  return c;
}

}  // namespace t42rm::app::testing
