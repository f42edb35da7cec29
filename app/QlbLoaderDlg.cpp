#include "app/QlbLoaderDlg.h"

#include <filesystem>
#include <system_error>

#include "platform/serial_ports.h"

namespace t42rm::app {

FileFilter FileFilterForMode(UpgradeMode mode) {
  switch (mode) {
    case kModeModule: return {"user data File (*.exx)", "*.exx"};
    case kModeChannel: return {"user data File (*.qlu)", "*.qlu"};
    default: return {"Upb File (*.qlb)", "*.qlb"};
  }
}

std::vector<std::string> SystemPortNames() {
  const std::vector<SerialPortInfo> ports = ListSerialPorts();
  std::vector<std::string> names;
  for (const SerialPortInfo& p : ports) names.push_back(p.path);
  for (const SerialPortInfo& p : ports)
    if (!p.byIdPath.empty()) names.push_back(p.byIdPath);
  return names;
}

CQlbLoaderDlg::CQlbLoaderDlg(DialogView& view, UserThreadExecutor& executor, DialogSeams seams)
    : cSerialClient1(std::move(seams.device), seams.clock),
      m_view(view),
      m_progress(view, GetClock()),
      m_listPorts(seams.listPorts ? std::move(seams.listPorts) : SystemPortNames) {
  SetExecutor(&executor);
  SetObserver(&m_progress);
}

CQlbLoaderDlg::~CQlbLoaderDlg() {
  CloseImageFile();
  // The progress display goes with the members; the base closes the port and
  // stops the reader afterwards, and must find no observer by then.
  SetObserver(nullptr);
}

int CQlbLoaderDlg::DoModal() { return m_view.RunModal(*this); }

void CQlbLoaderDlg::DoDataExchange(bool saveAndValidate) {
  m_radioFirmware.Bind(m_view, IDC_RADIO1);
  m_btnUpgrade.Bind(m_view, IDC_UPGRADE);
  m_btnLoad.Bind(m_view, IDC_LOAD);
  m_cbPort.Bind(m_view, IDC_PORT);
  if (saveAndValidate) {
    m_strImagePath = m_view.GetControlText(IDC_PATH);
  } else {
    m_view.SetControlText(IDC_PATH, m_strImagePath);
  }
}

bool CQlbLoaderDlg::OnInitDialog() {
  DoDataExchange(false);
  m_view.AppendSystemMenuItem(IDM_ABOUTBOX, std::string(kAboutMenuText));
  m_view.SetIcon(IDR_MAINFRAME);
  m_pOwner = this;
  InitPort(this, kRxBufferSize, kTxBufferSize);
  for (const std::string& name : m_listPorts()) m_cbPort.AddString(name);
  m_cbPort.SetCurSel(0);
  m_radioFirmware.SetCheck(true);
  OnRadio1();
  m_job.nMode = kModeFirmware;
  m_view.SetCaption(std::string(kMainCaption));
  m_view.StartTimer(kTickMs);
  return true;
}

bool CQlbLoaderDlg::OnCommand(int controlId) {
  switch (controlId) {
    case IDC_CONNECT: OnConnect(); return true;
    case IDC_LOAD: OnLoad(); return true;
    case IDC_RADIO1: OnRadio1(); return true;
    case IDC_RADIO2: OnRadio2(); return true;
    case IDC_RADIO4: OnRadio4(); return true;
    case IDC_RADIO3: OnRadio3(); return true;
    case IDC_UPGRADE: OnUpgrade(); return true;
    case IDOK: OnOK(); return true;
    case IDCANCEL: OnCancel(); return true;
    default: return false;
  }
}

bool CQlbLoaderDlg::OnSysCommand(unsigned commandId) {
  if ((commandId & 0xFFF0u) != IDM_ABOUTBOX) return false;
  m_view.ShowAbout();
  return true;
}

void CQlbLoaderDlg::OnOK() {
  DoDataExchange(true);
  m_view.EndDialog(IDOK);
}

void CQlbLoaderDlg::OnCancel() { m_view.EndDialog(IDCANCEL); }

void CQlbLoaderDlg::OnTimer() { m_progress.Tick(m_bTransferActive); }

void CQlbLoaderDlg::OnConnect() {
  m_szPortName = m_cbPort.GetWindowText();
  m_portSettings = PortSettings{};  // 115200 baud, 8 data bits, no parity, one stop bit
  // The reader thread that OpenLink starts hands its bytes to m_pOwner.
  m_pOwner = this;
  const bool open = OpenLink(m_portSettings, m_szPortName) != 0;
  m_btnLoad.EnableWindow(open);
  m_btnUpgrade.EnableWindow(false);
  if (open) {
    m_progress.ShowMessage("Connected to " + m_szOpenedPort);
  } else if (m_szPortName.empty()) {
    m_progress.ShowMessage("Cannot open the port: no port name given");
  } else {
    const std::string why = LastOpenError().Describe();
    m_progress.ShowMessage("Cannot open " + m_szPortName + (why.empty() ? "" : ": " + why));
  }
}

void CQlbLoaderDlg::SelectMode(const char* trace, UpgradeMode mode) {
  Trace(trace);
  if (!m_pOwner) return;
  m_job.nMode = mode;
}

void CQlbLoaderDlg::OnRadio1() { SelectMode("OnRadio1\n", kModeFirmware); }
void CQlbLoaderDlg::OnRadio2() { SelectMode("OnRadio2\n", kModeBootAndFirmware); }
void CQlbLoaderDlg::OnRadio3() { SelectMode("OnRadio3\n", kModeChannel); }
// The module button writes the same trace as the boot loader button.
void CQlbLoaderDlg::OnRadio4() { SelectMode("OnRadio2\n", kModeModule); }

void CQlbLoaderDlg::OnLoad() {
  if (!m_pOwner) return;
  const FileChoice choice = m_view.ChooseFile(FileFilterForMode(m_job.nMode));
  if (!choice.accepted) {
    m_btnUpgrade.EnableWindow(false);
    return;
  }
  m_btnUpgrade.EnableWindow(true);
  m_strImagePath = choice.fullPath;
  DoDataExchange(false);
  m_job.szFullPath = choice.fullPath;
  m_job.szFileName = choice.fileName;

  // The chooser accepts names of files that do not exist; such a choice stays
  // recorded, with the previous size.
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(choice.fullPath, ec);
  if (ec || !std::filesystem::exists(st)) {
    m_progress.ShowMessage("File not found: " + choice.fullPath);
    return;
  }
  uintmax_t size = 0;
  if (std::filesystem::is_regular_file(st)) {
    size = std::filesystem::file_size(choice.fullPath, ec);
    if (ec) size = 0;
  }
  // The low 32 bits, as a signed number, as the status lookup reports them.
  m_job.nFileSize = static_cast<int32_t>(static_cast<uint32_t>(size));
  OnUpgrade();
}

void CQlbLoaderDlg::OnUpgrade() {
  if (!m_pOwner) return;
  // Every outcome reaches the status line through the transfer observer.
  static_cast<void>(StartTransfer());
}

void CQlbLoaderDlg::OnDeviceLost(const OsError& error) {
  cSerialClient1::OnDeviceLost(error);
  CloseLink();
  m_btnLoad.EnableWindow(false);
  m_btnUpgrade.EnableWindow(false);
}

}  // namespace t42rm::app
