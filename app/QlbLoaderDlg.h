// The main dialog: its controls' states and handlers, and at the same time the
// protocol client (the client's m_pOwner points at this object, whose m_job
// the client reads when the device answers). It includes no toolkit header: a
// DialogView shows it and routes the user's actions to DialogEvents.
//
// Threads: every handler runs on the user thread (the view's). The receive
// pump's reader thread reaches the dialog only through the executor given to
// the constructor, which must run the hand-offs on that same thread and must
// outlive the dialog, as must the view.
//
// Images are opened by their full path: no chooser is asked to move the
// process's current directory, and the bare name (m_job.szFileName) is only
// shown and logged.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_template.h"
#include "app/dialog_view.h"
#include "app/transfer_progress.h"
#include "protocol/cSerialClient1.h"

namespace t42rm::app {

// A control of the view, bound by ID (the dialog's DDX_Control members).
class DlgControl {
 public:
  void Bind(DialogView& view, int id) {
    m_view = &view;
    m_id = id;
  }
  int Id() const { return m_id; }
  void EnableWindow(bool enable) { if (m_view) m_view->EnableControl(m_id, enable); }
  bool IsWindowEnabled() const { return m_view && m_view->IsControlEnabled(m_id); }
  std::string GetWindowText() const { return m_view ? m_view->GetControlText(m_id) : std::string(); }

 protected:
  DialogView* m_view = nullptr;
  int m_id = 0;
};

class DlgButton : public DlgControl {
 public:
  void SetCheck(bool checked) { if (m_view) m_view->SetCheck(m_id, checked); }
};

class DlgComboBox : public DlgControl {
 public:
  void AddString(const std::string& text) { if (m_view) m_view->AddComboString(m_id, text); }
  void SetCurSel(int index) { if (m_view) m_view->SetComboSelection(m_id, index); }
};

// The file filter Load offers for a mode: ".exx" for module, ".qlu" for
// channel data, ".qlb" for every other value.
FileFilter FileFilterForMode(UpgradeMode mode);

// The serial ports of this machine as the port list shows them: every device
// path, then the stable /dev/serial/by-id names of those that have one.
std::vector<std::string> SystemPortNames();

// Test seams of the dialog; the defaults are this OS's serial device, the
// monotonic clock and SystemPortNames().
struct DialogSeams {
  std::unique_ptr<SerialDevice> device;
  Clock* clock = nullptr;
  std::function<std::vector<std::string>()> listPorts;
};

class CQlbLoaderDlg final : public cSerialClient1, public ClientOwner, public DialogEvents {
 public:
  static constexpr uint32_t kRxBufferSize = 4096;
  static constexpr uint32_t kTxBufferSize = 4096;
  static constexpr int kTickMs = 1000;

  CQlbLoaderDlg(DialogView& view, UserThreadExecutor& executor, DialogSeams seams = {});
  ~CQlbLoaderDlg() override;

  // Creates and runs the window modally; returns what ended it (IDOK, IDCANCEL).
  int DoModal();

  // Message map (DialogEvents).
  bool OnInitDialog() override;
  bool OnCommand(int controlId) override;
  bool OnSysCommand(unsigned commandId) override;
  void OnOK() override;
  void OnCancel() override;
  void OnTimer() override;

  void OnConnect();
  void OnLoad();
  void OnUpgrade();
  // Control 1003 mode 1, 1006 mode 2, 1007 mode 4, 1008 mode 3.
  void OnRadio1();
  void OnRadio2();
  void OnRadio3();
  void OnRadio4();

  // The device disappeared: reported by the client, then the link is closed
  // so that Connect can open it again, and Load waits for that.
  void OnDeviceLost(const OsError& error) override;

  const TransferProgress& Progress() const { return m_progress; }

  // Members, in the order the dialog class gives them.
  DlgButton m_radioFirmware;
  DlgButton m_btnUpgrade;
  DlgButton m_btnLoad;
  DlgComboBox m_cbPort;
  std::string m_strImagePath;
  PortSettings m_portSettings;
  // The port name as typed or chosen, whole: device paths are long.
  std::string m_szPortName;

 private:
  // Binds the controls; moves m_strImagePath to the path field (false) or
  // back from it (true).
  void DoDataExchange(bool saveAndValidate);
  void SelectMode(const char* trace, UpgradeMode mode);

  DialogView& m_view;
  TransferProgress m_progress;
  std::function<std::vector<std::string>()> m_listPorts;
};

}  // namespace t42rm::app
