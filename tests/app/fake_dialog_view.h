// An in-memory view of the main dialog for the logic tests: controls start as
// template 102 says, clicks behave like the toolkit's (a disabled control
// takes none, an auto radio button moves the group's check before the
// handler runs), and the file chooser answers from a queue.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/dialog_template.h"
#include "app/dialog_view.h"

namespace t42rm::app::testing {

class FakeDialogView final : public DialogView {
 public:
  struct Control {
    ControlKind kind{};
    bool enabled = true;
    bool visible = true;
    bool checked = false;
    std::string text;
    std::vector<std::string> items;  // combo box list
    int selection = -1;
  };

  FakeDialogView();

  // The dialog whose events the view routes (RunModal sets it too).
  void Attach(DialogEvents& events) { events_ = &events; }
  // A click as the user makes it; false when the control is disabled,
  // hidden or missing (nothing happens then).
  bool Click(int id);
  // Typing into the combo box's edit field.
  void TypePortName(const std::string& text) { controls_.at(IDC_PORT).text = text; }
  // Queues the next answer of the file chooser; an empty queue cancels.
  void AnswerFile(FileChoice choice) { fileAnswers_.push_back(std::move(choice)); }
  void AcceptFile(const std::string& fullPath);
  // Runs inside RunModal after OnInitDialog, standing for the user.
  std::function<void(FakeDialogView&)> onModal;

  const Control& At(int id) const { return controls_.at(id); }
  std::string caption;
  int iconId = 0;
  std::vector<std::pair<unsigned, std::string>> menuItems;
  std::vector<FileFilter> filtersOffered;
  int aboutShown = 0;
  int progressValue = 0;
  int progressMaximum = 0;
  std::vector<std::string> statusLines;  // every text the status line got
  int timerMs = 0;
  std::optional<int> endResult;
  int modalRuns = 0;

  // DialogView
  int RunModal(DialogEvents& events) override;
  void EndDialog(int result) override { endResult = result; }
  void SetCaption(const std::string& text) override { caption = text; }
  void SetIcon(int id) override { iconId = id; }
  void AppendSystemMenuItem(unsigned commandId, const std::string& text) override {
    menuItems.emplace_back(commandId, text);
  }
  void EnableControl(int id, bool enable) override { controls_.at(id).enabled = enable; }
  bool IsControlEnabled(int id) const override { return controls_.at(id).enabled; }
  void ShowControl(int id, bool visible) override { controls_.at(id).visible = visible; }
  void SetCheck(int id, bool checked) override { controls_.at(id).checked = checked; }
  bool IsChecked(int id) const override { return controls_.at(id).checked; }
  void SetControlText(int id, const std::string& text) override { controls_.at(id).text = text; }
  std::string GetControlText(int id) const override { return controls_.at(id).text; }
  void AddComboString(int id, const std::string& text) override;
  void SetComboSelection(int id, int index) override;
  FileChoice ChooseFile(const FileFilter& filter) override;
  void ShowAbout() override { ++aboutShown; }
  void SetProgress(int value, int maximum) override {
    progressValue = value;
    progressMaximum = maximum;
  }
  void SetStatusText(const std::string& text) override { statusLines.push_back(text); }
  void StartTimer(int intervalMs) override { timerMs = intervalMs; }

  std::string Status() const { return statusLines.empty() ? std::string() : statusLines.back(); }

 private:
  DialogEvents* events_ = nullptr;
  std::map<int, Control> controls_;
  std::deque<FileChoice> fileAnswers_;
};

}  // namespace t42rm::app::testing
