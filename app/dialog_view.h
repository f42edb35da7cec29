// The seam between the dialog logic and a toolkit. The logic (CQlbLoaderDlg)
// owns every state and decision; a view only shows what it is told and routes
// the user's actions back as DialogEvents. Controls are named by their IDs of
// template 102 (dialog_template.h), plus IDC_PROGRESS and IDC_STATUS.
//
// Threads: every call in both directions runs on the user thread (the GUI
// thread). A view calls DialogEvents only while RunModal (or its own non-modal
// equivalent) is in progress, and never from inside a DialogView call other
// than RunModal, ChooseFile and ShowAbout (which may run nested event loops).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "serial/user_thread.h"

namespace t42rm::app {

// What the view reports back to the dialog (the dialog's message map).
class DialogEvents {
 public:
  virtual ~DialogEvents() = default;
  // The window and its controls exist; set them up. Returns true.
  virtual bool OnInitDialog() = 0;
  // A push button or radio button was clicked (BN_CLICKED). Radio check marks
  // have already moved when this is called. False if no handler is mapped.
  virtual bool OnCommand(int controlId) = 0;
  // An entry added by AppendSystemMenuItem was chosen. False: not handled.
  virtual bool OnSysCommand(unsigned commandId) = 0;
  // Enter with the focus on a control that is not a push button.
  virtual void OnOK() = 0;
  // Esc, the close box of the title bar.
  virtual void OnCancel() = 0;
  // The tick timer of StartTimer fired.
  virtual void OnTimer() = 0;
};

// One pair of a file chooser's filter: "Upb File (*.qlb)" with "*.qlb".
struct FileFilter {
  std::string description;
  std::string pattern;
};

struct FileChoice {
  bool accepted = false;  // false: cancelled or closed
  std::string fullPath;   // as the chooser gives it, whole
  std::string fileName;   // the bare name with its extension
};

class DialogView {
 public:
  virtual ~DialogView() = default;

  // Creates the window (hidden controls as the template says), calls
  // events.OnInitDialog(), shows it and runs it modally until EndDialog.
  // Returns the result passed to EndDialog.
  virtual int RunModal(DialogEvents& events) = 0;
  virtual void EndDialog(int result) = 0;

  virtual void SetCaption(const std::string& text) = 0;
  // Sets the application icon (resource IDR_MAINFRAME) as the window icon.
  virtual void SetIcon(int iconId) = 0;
  // The system menu entry (on Linux: the dialog's context menu).
  virtual void AppendSystemMenuItem(unsigned commandId, const std::string& text) = 0;

  virtual void EnableControl(int id, bool enable) = 0;
  virtual bool IsControlEnabled(int id) const = 0;
  virtual void ShowControl(int id, bool visible) = 0;
  virtual void SetCheck(int id, bool checked) = 0;
  virtual bool IsChecked(int id) const = 0;
  // Edit field and combo box text; window text of the other controls.
  virtual void SetControlText(int id, const std::string& text) = 0;
  virtual std::string GetControlText(int id) const = 0;
  // Combo box list (CB_ADDSTRING, CB_SETCURSEL; an index out of range selects
  // nothing and leaves the text as it is).
  virtual void AddComboString(int id, const std::string& text) = 0;
  virtual void SetComboSelection(int id, int index) = 0;

  // Runs the file-open chooser modally with one filter. Names of files that do
  // not exist may be accepted.
  virtual FileChoice ChooseFile(const FileFilter& filter) = 0;
  // Runs the About box (template 100) modally.
  virtual void ShowAbout() = 0;

  // The tool's additions: progress bar (value of maximum) and status line.
  virtual void SetProgress(int value, int maximum) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  // Calls OnTimer every intervalMs milliseconds while the dialog runs.
  virtual void StartTimer(int intervalMs) = 0;
};

// What a toolkit gives the application: the main dialog's view and the
// hand-off onto the GUI thread. Both outlive the dialog that uses them.
class DialogToolkit {
 public:
  virtual ~DialogToolkit() = default;
  virtual std::unique_ptr<DialogView> CreateMainView() = 0;
  virtual UserThreadExecutor& Executor() = 0;
};

}  // namespace t42rm::app
