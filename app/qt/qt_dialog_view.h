// The Qt 6 Widgets view of the main dialog (template 102) and the About box
// (template 100). Windows are built from the template tables: positions and
// sizes in dialog units, converted with the dialog font's base units (average
// character width / 4 across, height / 8 down); a text control is made wider
// only where the font would cut its text. The progress bar and status line sit
// right of the mode buttons, moved further right only if a widened mode
// button would reach them.
//
// It holds no logic: every click, Enter, Esc, close box and menu choice goes
// to the DialogEvents given to RunModal/Open, which decide what happens.
//
// Threads: GUI thread only.
#pragma once

#include <QDialog>
#include <QMenu>
#include <QTimer>
#include <functional>
#include <map>
#include <vector>

#include "app/dialog_template.h"
#include "app/dialog_view.h"

class QLabel;
class QProgressBar;

namespace t42rm::app {

// The base units of a font as the dialog manager computes them.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// The About box of template 100: icon, version text, legal notice, OK.
class QtAboutDialog final : public QDialog {
 public:
  explicit QtAboutDialog(QWidget* parent = nullptr);
  QWidget* Control(size_t templateIndex) const;
  DialogBaseUnits BaseUnits() const { return m_base; }

 private:
  DialogBaseUnits m_base;
  std::vector<QWidget*> m_controls;  // in template order
};

class QtDialogView final : public QDialog, public DialogView {
 public:
  // Answers the file chooser instead of a QFileDialog (tests, demos).
  using FileChooser = std::function<FileChoice(const FileFilter&)>;

  explicit QtDialogView(QWidget* parent = nullptr);
  ~QtDialogView() override;

  // Initialises the dialog through events and shows it without a modal loop;
  // the caller's event loop runs it. EndDialog then hides it.
  void Open(DialogEvents& events);
  void SetFileChooser(FileChooser chooser) { m_chooser = std::move(chooser); }

  // A control by ID (template 102 and the additions), or null.
  QWidget* Control(int id) const;
  QMenu* ContextMenu() const { return m_menu; }
  DialogBaseUnits BaseUnits() const { return m_base; }
  // The whole status text; the line shows it elided when it does not fit.
  QString StatusText() const { return m_statusText; }

  // DialogView
  int RunModal(DialogEvents& events) override;
  void EndDialog(int result) override;
  void SetCaption(const std::string& text) override;
  void SetIcon(int iconId) override;
  void AppendSystemMenuItem(unsigned commandId, const std::string& text) override;
  void EnableControl(int id, bool enable) override;
  bool IsControlEnabled(int id) const override;
  void ShowControl(int id, bool visible) override;
  void SetCheck(int id, bool checked) override;
  bool IsChecked(int id) const override;
  void SetControlText(int id, const std::string& text) override;
  std::string GetControlText(int id) const override;
  void AddComboString(int id, const std::string& text) override;
  void SetComboSelection(int id, int index) override;
  FileChoice ChooseFile(const FileFilter& filter) override;
  void ShowAbout() override;
  void SetProgress(int value, int maximum) override;
  void SetStatusText(const std::string& text) override;
  void StartTimer(int intervalMs) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void reject() override;

 private:
  void Initialise(DialogEvents& events);
  void PlaceAdditions();

  DialogEvents* m_events = nullptr;
  DialogBaseUnits m_base;
  std::map<int, QWidget*> m_controls;
  QProgressBar* m_progress = nullptr;
  QLabel* m_status = nullptr;
  QString m_statusText;
  QMenu* m_menu = nullptr;
  QTimer m_timer;
  FileChooser m_chooser;
};

}  // namespace t42rm::app
