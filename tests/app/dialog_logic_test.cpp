// The main dialog's logic against a fake view and the fake serial device:
// control states, the job, the frames it sends and what the status line says.
// Connect starts the real reader thread; its hand-offs run on the test thread
// through an EventLoop. Protocol sleeps go to a fake clock.
#include "app/QlbLoaderDlg.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/qlbloader.h"
#include "common/base_global.h"
#include "common/fake_clock.h"
#include "protocol/streaming_state.h"
#include "serial/event_loop.h"
#include "tests/app/fake_dialog_view.h"
#include "tests/support/fake_serial_device.h"

namespace t42rm::app {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using t42rm::testing::FakeSerialDevice;
using testing::FakeDialogView;
using Bytes = std::vector<uint8_t>;

const std::vector<std::string> kPorts = {"/dev/ttyS0", "/dev/ttyUSB0",
                                         "/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0"};

// A frame as the device sends it: words 1..4 big-endian, end mark C5 8D.
Bytes DeviceFrame(uint16_t code, uint16_t status = 0) {
  return {0xFD, 0x5A, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code),
          static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status), 0, 0, 0, 0, 0xC5, 0x8D};
}

class RecordingTrace final : public DebugSink {
 public:
  void Trace(std::string_view text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "t42rm-app-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStreamingState();
    MakeDialog(kPorts);
  }

  void MakeDialog(std::vector<std::string> ports) {
    DialogSeams seams;
    seams.device = std::make_unique<FakeSerialDevice>(port);
    seams.clock = &clock;
    seams.listPorts = [ports] { return ports; };
    dlg = std::make_unique<CQlbLoaderDlg>(view, loop, std::move(seams));
    dlg->SetTraceSink(&trace);
    view.Attach(*dlg);
  }

  void Connect() {
    ASSERT_TRUE(view.Click(IDC_CONNECT));
    ASSERT_TRUE(view.At(IDC_LOAD).enabled) << view.Status();
  }

  std::string WriteImage(const std::string& name, const Bytes& bytes) {
    const fs::path p = dir.path() / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }

  // Runs the hand-offs until cond holds (real time, bounded).
  bool RunUntil(const std::function<bool()>& cond,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
      if (std::chrono::steady_clock::now() > end) return false;
      loop.RunFor(std::chrono::milliseconds(5));
    }
    return true;
  }
  size_t Writes() { return port->AllWritten().size(); }

  // Declared before the dialog: they outlive it.
  TempDir dir;
  EventLoop loop;
  FakeDialogView view;
  FakeClock clock;
  RecordingTrace trace;
  std::shared_ptr<FakeSerialDevice::Shared> port = std::make_shared<FakeSerialDevice::Shared>();
  std::unique_ptr<CQlbLoaderDlg> dlg;
};

TEST_F(DialogTest, StartShowsPortsFirmwareModeAndCaption) {
  ASSERT_TRUE(dlg->OnInitDialog());

  EXPECT_EQ(view.caption, "T42RM-Upgrade  ver.1.1.0  (Jul 25 2008)");
  EXPECT_THAT(view.At(IDC_PORT).items, ElementsAreArray(kPorts));
  EXPECT_EQ(view.At(IDC_PORT).text, kPorts[0]);
  EXPECT_TRUE(view.At(IDC_RADIO1).checked);
  for (int id : {IDC_RADIO2, IDC_RADIO3, IDC_RADIO4}) EXPECT_FALSE(view.At(id).checked) << id;
  EXPECT_FALSE(view.At(IDC_LOAD).enabled);
  EXPECT_FALSE(view.At(IDC_UPGRADE).enabled);
  EXPECT_FALSE(view.At(IDC_UPGRADE).visible);
  for (int id : {IDCANCEL, IDC_CONNECT, IDC_PORT, IDC_RADIO1, IDC_RADIO2, IDC_RADIO3, IDC_RADIO4})
    EXPECT_TRUE(view.At(id).enabled) << id;
  EXPECT_EQ(view.At(IDC_PATH).text, "");
  EXPECT_EQ(dlg->m_job.nMode, kModeFirmware);
  EXPECT_EQ(dlg->m_job.nFileSize, 0);
  EXPECT_THAT(trace.lines, ElementsAre("OnRadio1\n"));
  EXPECT_EQ(dlg->m_pOwner, dlg.get());
  EXPECT_THAT(view.menuItems, ElementsAre(std::make_pair(IDM_ABOUTBOX, "&About QlbLoader...")));
  EXPECT_EQ(view.iconId, IDR_MAINFRAME);
  EXPECT_GT(view.timerMs, 0);
  EXPECT_EQ(port->opens, 0);  // nothing opened before Connect
}

TEST_F(DialogTest, ConnectOpensTheNameWholeAt115200And8N1) {
  dlg->OnInitDialog();
  const std::string name = kPorts[2];  // far beyond four characters
  view.TypePortName(name);
  Connect();

  EXPECT_EQ(port->openedPath, name);
  EXPECT_EQ(dlg->m_szPortName, name);
  EXPECT_EQ(port->settings.baudRate, 115200u);
  EXPECT_EQ(port->settings.dataBits, 8);
  EXPECT_EQ(port->settings.parity, 0);
  EXPECT_EQ(port->settings.stopBits, 0);
  EXPECT_FALSE(view.At(IDC_UPGRADE).enabled);
  EXPECT_EQ(view.Status(), "Connected to " + name);
}

TEST_F(DialogTest, FailedConnectDisablesLoadAndMayBeRetried) {
  dlg->OnInitDialog();
  port->failOpen = OpenFailure::kBusy;
  ASSERT_TRUE(view.Click(IDC_CONNECT));
  EXPECT_FALSE(view.At(IDC_LOAD).enabled);
  EXPECT_FALSE(view.At(IDC_UPGRADE).enabled);
  EXPECT_THAT(view.Status(), StartsWith("Cannot open /dev/ttyS0: open /dev/ttyS0"));
  EXPECT_TRUE(view.At(IDC_CONNECT).enabled);
  EXPECT_TRUE(view.At(IDC_PORT).enabled);

  port->failOpen = OpenFailure::kNone;
  view.TypePortName("/dev/ttyUSB0");
  Connect();
  EXPECT_EQ(port->openedPath, "/dev/ttyUSB0");
}

TEST_F(DialogTest, ConnectAgainKeepsThePortAndDisablesUpgrade) {
  dlg->OnInitDialog();
  Connect();
  view.AcceptFile(WriteImage("a.qlb", Bytes(100, 1)));
  ASSERT_TRUE(view.Click(IDC_LOAD));
  ASSERT_TRUE(view.At(IDC_UPGRADE).enabled);

  view.TypePortName("/dev/ttyUSB0");  // another name: still the open port
  ASSERT_TRUE(view.Click(IDC_CONNECT));
  EXPECT_EQ(port->opens, 1);
  EXPECT_EQ(port->openedPath, kPorts[0]);
  EXPECT_TRUE(view.At(IDC_LOAD).enabled);
  EXPECT_FALSE(view.At(IDC_UPGRADE).enabled);
}

TEST_F(DialogTest, NoPortsLeaveTheComboEmptyAndConnectFails) {
  MakeDialog({});
  dlg->OnInitDialog();
  EXPECT_TRUE(view.At(IDC_PORT).items.empty());
  EXPECT_EQ(view.At(IDC_PORT).text, "");
  port->failOpen = OpenFailure::kMissing;  // as every real device refuses ""
  ASSERT_TRUE(view.Click(IDC_CONNECT));
  EXPECT_EQ(dlg->m_szPortName, "");
  EXPECT_FALSE(view.At(IDC_LOAD).enabled);
  EXPECT_EQ(view.Status(), "Cannot open the port: no port name given");
}

TEST_F(DialogTest, ModeButtonsSetTheModeTraceAndFilter) {
  struct Case {
    int control;
    UpgradeMode mode;
    const char* trace;
    const char* filter;
    const char* pattern;
  };
  // The IDs do not run with the modes: 1007 is channel data, 1008 module.
  const Case cases[] = {
      {IDC_RADIO2, kModeBootAndFirmware, "OnRadio2\n", "Upb File (*.qlb)", "*.qlb"},
      {IDC_RADIO3, kModeChannel, "OnRadio3\n", "user data File (*.qlu)", "*.qlu"},
      {IDC_RADIO4, kModeModule, "OnRadio2\n", "user data File (*.exx)", "*.exx"},
      {IDC_RADIO1, kModeFirmware, "OnRadio1\n", "Upb File (*.qlb)", "*.qlb"},
  };
  dlg->OnInitDialog();
  Connect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    ASSERT_TRUE(view.Click(c.control));
    EXPECT_EQ(dlg->m_job.nMode, c.mode);
    EXPECT_EQ(trace.lines.back(), c.trace);
    for (int id : {IDC_RADIO1, IDC_RADIO2, IDC_RADIO3, IDC_RADIO4})
      EXPECT_EQ(view.At(id).checked, id == c.control) << id;
    EXPECT_FALSE(view.At(IDC_UPGRADE).enabled);
    EXPECT_TRUE(view.At(IDC_LOAD).enabled);

    ASSERT_TRUE(view.Click(IDC_LOAD));  // answered by a cancel
    EXPECT_EQ(view.filtersOffered.back().description, c.filter);
    EXPECT_EQ(view.filtersOffered.back().pattern, c.pattern);
  }
  EXPECT_TRUE(port->AllWritten().empty());
}

TEST_F(DialogTest, LoadRecordsTheJobAndSendsTheStartFrameOfTheMode) {
  struct Case {
    int control;
    const char* file;
    size_t size;
    const char* status;
    Bytes frame;
  };
  const Case cases[] = {
      {IDC_RADIO1, "fw/main.qlb", 1000, "Firmware: start sent, 1000 bytes",
       {0xFD, 0xC9, 0x06, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00}},
      {IDC_RADIO2, "boot and fw.qlb", 0x12345, "Boot loader and firmware: start sent, 74565 bytes",
       {0xFD, 0xC9, 0x04, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x45, 0x23, 0x01, 0x00, 0x0D, 0xC9, 0x00, 0x00}},
      {IDC_RADIO4, "mod/a/b/module.exx", 300, "Module: start sent, 300 bytes",
       {0xFD, 0xC9, 0x40, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00}},
      // An empty image: size 0.
      {IDC_RADIO3, "channels.qlu", 0, "Channel data: start sent, 0 bytes",
       {0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00}},
  };
  dlg->OnInitDialog();
  Connect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(view.Click(c.control));
    const std::string path = WriteImage(c.file, Bytes(c.size, 0x5A));
    view.AcceptFile(path);
    port->TakeWrites();
    ASSERT_TRUE(view.Click(IDC_LOAD));

    const auto writes = port->TakeWrites();
    ASSERT_EQ(writes.size(), 1u);  // one write per frame
    EXPECT_EQ(writes[0], c.frame);
    EXPECT_EQ(dlg->m_job.szFullPath, path);
    EXPECT_EQ(dlg->m_job.szFileName, fs::path(c.file).filename().string());
    EXPECT_EQ(dlg->m_job.nFileSize, static_cast<int32_t>(c.size));
    EXPECT_EQ(view.At(IDC_PATH).text, path);
    EXPECT_EQ(dlg->m_strImagePath, path);
    EXPECT_TRUE(view.At(IDC_UPGRADE).enabled);
    EXPECT_FALSE(view.At(IDC_UPGRADE).visible);
    EXPECT_TRUE(dlg->m_bTransferActive);
    EXPECT_EQ(view.Status(), c.status);
  }
}

TEST_F(DialogTest, MissingFileIsRecordedWithTheEarlierSizeAndSendsNothing) {
  dlg->OnInitDialog();
  Connect();
  view.AcceptFile(WriteImage("first.qlb", Bytes(5000, 1)));
  ASSERT_TRUE(view.Click(IDC_LOAD));
  dlg->m_bTransferActive = false;  // as if that transfer had ended
  port->TakeWrites();

  const std::string missing = (dir.path() / "typed-name.qlb").string();
  view.AcceptFile(missing);
  ASSERT_TRUE(view.Click(IDC_LOAD));

  EXPECT_TRUE(port->AllWritten().empty());
  EXPECT_FALSE(dlg->m_bTransferActive);
  EXPECT_EQ(view.At(IDC_PATH).text, missing);
  EXPECT_TRUE(view.At(IDC_UPGRADE).enabled);
  EXPECT_EQ(dlg->m_job.szFullPath, missing);
  EXPECT_EQ(dlg->m_job.szFileName, "typed-name.qlb");
  EXPECT_EQ(dlg->m_job.nFileSize, 5000);
  EXPECT_EQ(view.Status(), "File not found: " + missing);
}

TEST_F(DialogTest, FileThatCannotBeOpenedRecordsItsSizeAndStartsNothing) {
  dlg->OnInitDialog();
  Connect();
  view.AcceptFile(WriteImage("first.qlb", Bytes(5000, 1)));
  ASSERT_TRUE(view.Click(IDC_LOAD));
  dlg->m_bTransferActive = false;
  port->TakeWrites();

  // A socket exists but no one, root included, can open it as a file.
  const std::string path = (dir.path() / "socket.qlb").string();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);

  view.AcceptFile(path);
  ASSERT_TRUE(view.Click(IDC_LOAD));
  EXPECT_TRUE(port->AllWritten().empty());
  EXPECT_FALSE(dlg->m_bTransferActive);
  EXPECT_EQ(dlg->m_job.nFileSize, 0);  // the socket's size, not the earlier 5000
  EXPECT_EQ(dlg->m_job.szFullPath, path);
  EXPECT_EQ(view.Status(), "Image rejected: image file cannot be opened (" + path + ")");
}

TEST_F(DialogTest, CancelledLoadDisablesUpgradeAndKeepsTheEarlierChoice) {
  dlg->OnInitDialog();
  Connect();
  const std::string path = WriteImage("keep.qlb", Bytes(77, 1));
  view.AcceptFile(path);
  ASSERT_TRUE(view.Click(IDC_LOAD));
  port->TakeWrites();

  ASSERT_TRUE(view.Click(IDC_LOAD));  // the chooser is cancelled
  EXPECT_FALSE(view.At(IDC_UPGRADE).enabled);
  EXPECT_TRUE(view.At(IDC_LOAD).enabled);
  EXPECT_EQ(view.At(IDC_PATH).text, path);
  EXPECT_EQ(dlg->m_job.szFullPath, path);
  EXPECT_EQ(dlg->m_job.nFileSize, 77);
  EXPECT_TRUE(port->AllWritten().empty());
}

TEST_F(DialogTest, ModeChangeAfterLoadSendsNothingAndKeepsTheJob) {
  dlg->OnInitDialog();
  Connect();
  const std::string path = WriteImage("a.qlb", Bytes(64, 2));
  view.AcceptFile(path);
  ASSERT_TRUE(view.Click(IDC_LOAD));
  port->TakeWrites();

  ASSERT_TRUE(view.Click(IDC_RADIO4));
  EXPECT_EQ(dlg->m_job.nMode, kModeModule);
  EXPECT_EQ(dlg->m_job.szFullPath, path);
  EXPECT_EQ(dlg->m_job.nFileSize, 64);
  EXPECT_EQ(view.At(IDC_PATH).text, path);
  EXPECT_TRUE(dlg->m_bTransferActive);
  EXPECT_TRUE(port->AllWritten().empty());
}

TEST_F(DialogTest, LoadWithThePortClosedSetsTheFlagAndSaysSo) {
  dlg->OnInitDialog();
  EXPECT_FALSE(view.Click(IDC_LOAD));  // disabled until Connect
  view.AcceptFile(WriteImage("a.qlb", Bytes(10, 2)));
  dlg->OnLoad();
  EXPECT_TRUE(dlg->m_bTransferActive);
  EXPECT_TRUE(port->AllWritten().empty());
  EXPECT_EQ(view.Status(), "Port not open: nothing was sent");
}

// A channel data image of two data blocks and a blank one.
Bytes ChannelImage() {
  Bytes image(3 * kBlockSize, 0xFF);
  for (size_t i = 0; i < 2 * kBlockSize; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  return image;
}

TEST_F(DialogTest, DeviceDrivenChannelUpgradeFillsTheBarAndFinishes) {
  dlg->OnInitDialog();
  Connect();
  ASSERT_TRUE(view.Click(IDC_RADIO3));
  const Bytes image = ChannelImage();
  view.AcceptFile(WriteImage("ch.qlu", image));
  ASSERT_TRUE(view.Click(IDC_LOAD));
  port->TakeWrites();

  // Start answer: block 0 (header + 8 writes); then block 1; then the blank.
  const struct {
    Bytes frame;
    size_t writes;
    int bar;
  } steps[] = {
      {DeviceFrame(kCodeResUpgradeChannel), 9, 1},
      {DeviceFrame(kCodeDevNextBlock), 9, 2},
      {DeviceFrame(kCodeDevNextBlock), 1, 3},
  };
  for (const auto& s : steps) {
    port->Push(s.frame);
    std::vector<std::vector<uint8_t>> writes;
    ASSERT_TRUE(RunUntil([&] {
      auto w = port->TakeWrites();
      writes.insert(writes.end(), w.begin(), w.end());
      return writes.size() >= s.writes;
    }));
    EXPECT_EQ(writes.size(), s.writes);
    EXPECT_EQ(view.progressValue, s.bar);
    EXPECT_EQ(view.progressMaximum, 4);
  }
  EXPECT_EQ(view.Status(), "Block 3 of 3 blank, announced only");

  port->Push(DeviceFrame(kCodeDevCrcRequest));
  Bytes crcFrame;
  ASSERT_TRUE(RunUntil([&] {
    auto w = port->TakeWrites();
    if (!w.empty()) crcFrame = w.back();
    return !crcFrame.empty();
  }));
  const uint32_t crc = Crc32(image.data(), image.size());
  EXPECT_EQ(crcFrame, (Bytes{0xFD, 0xC9, 0x23, 0x10, 0x00, 0x00, static_cast<uint8_t>(crc >> 16),
                             static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc),
                             static_cast<uint8_t>(crc >> 8), 0x8D, 0xC5}));
  EXPECT_FALSE(dlg->m_bTransferActive);
  EXPECT_EQ(view.progressValue, 4);
  EXPECT_THAT(view.Status(), StartsWith("Finished: 3 blocks, CRC-32 "));
}

TEST_F(DialogTest, SilenceIsNotedOnTheTickAndALateAnswerContinues) {
  dlg->OnInitDialog();
  Connect();
  ASSERT_TRUE(view.Click(IDC_RADIO3));
  view.AcceptFile(WriteImage("ch.qlu", ChannelImage()));
  ASSERT_TRUE(view.Click(IDC_LOAD));

  clock.Advance(std::chrono::seconds(29));
  dlg->OnTimer();
  EXPECT_THAT(view.Status(), HasSubstr("start sent"));
  clock.Advance(std::chrono::seconds(1));
  dlg->OnTimer();
  EXPECT_EQ(view.Status(), "No frame from the device for 30 s; still waiting");
  EXPECT_TRUE(dlg->m_bTransferActive);

  port->Push(DeviceFrame(kCodeResUpgradeChannel));
  ASSERT_TRUE(RunUntil([&] { return view.Status() == "Block 1 of 3 sent"; })) << view.Status();
  EXPECT_EQ(view.progressValue, 1);
}

TEST_F(DialogTest, LoadDuringATransferOverwritesTheJobAndStartsAgain) {
  dlg->OnInitDialog();
  Connect();
  ASSERT_TRUE(view.Click(IDC_RADIO3));
  view.AcceptFile(WriteImage("one.qlu", ChannelImage()));
  ASSERT_TRUE(view.Click(IDC_LOAD));
  port->Push(DeviceFrame(kCodeResUpgradeChannel));
  ASSERT_TRUE(RunUntil([&] { return view.progressValue == 1; }));
  port->TakeWrites();

  const std::string second = WriteImage("other/two.qlu", Bytes(0x2000, 9));
  view.AcceptFile(second);
  ASSERT_TRUE(view.Click(IDC_LOAD));
  const auto writes = port->TakeWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], (Bytes{0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D,
                              0xC5, 0xFE, 0xC5, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x0D, 0xC9,
                              0x00, 0x00}));
  EXPECT_EQ(dlg->m_job.szFullPath, second);
  EXPECT_EQ(dlg->m_job.nFileSize, 0x2000);
  EXPECT_TRUE(dlg->m_bTransferActive);
  EXPECT_EQ(view.progressValue, 0);
}

TEST_F(DialogTest, LostDeviceClosesTheLinkAndConnectReopensIt) {
  dlg->OnInitDialog();
  Connect();
  port->HangUp();
  ASSERT_TRUE(RunUntil([&] { return !view.At(IDC_LOAD).enabled; }));
  EXPECT_THAT(view.Status(), StartsWith("Device lost: "));
  EXPECT_FALSE(view.At(IDC_UPGRADE).enabled);
  EXPECT_FALSE(dlg->IsOpen());
  EXPECT_FALSE(port->open);

  {
    std::lock_guard lock(port->mutex);
    port->hungUp = false;
  }
  Connect();
  EXPECT_EQ(port->opens, 2);
}

TEST_F(DialogTest, ClosingDuringATransferSendsNothingAndClosesThePort) {
  dlg->OnInitDialog();
  Connect();
  view.AcceptFile(WriteImage("a.qlb", Bytes(100, 1)));
  ASSERT_TRUE(view.Click(IDC_LOAD));
  port->TakeWrites();

  ASSERT_TRUE(view.Click(IDCANCEL));
  EXPECT_EQ(view.endResult, IDCANCEL);
  dlg.reset();
  EXPECT_TRUE(port->AllWritten().empty());
  EXPECT_FALSE(port->open);
  EXPECT_FALSE(port->dtr);
}

TEST_F(DialogTest, OkCopiesThePathFieldBackAndEnds) {
  dlg->OnInitDialog();
  view.SetControlText(IDC_PATH, "/typed/elsewhere.qlb");
  dlg->OnOK();
  EXPECT_EQ(view.endResult, IDOK);
  EXPECT_EQ(dlg->m_strImagePath, "/typed/elsewhere.qlb");
  EXPECT_FALSE(dlg->OnCommand(4242));
}

TEST_F(DialogTest, AboutBoxFromItsMenuEntryOnly) {
  dlg->OnInitDialog();
  EXPECT_TRUE(dlg->OnSysCommand(IDM_ABOUTBOX));
  EXPECT_TRUE(dlg->OnSysCommand(IDM_ABOUTBOX | 0x3));  // low four bits are the system's
  EXPECT_FALSE(dlg->OnSysCommand(0xF060));             // SC_CLOSE: the toolkit's
  EXPECT_EQ(view.aboutShown, 2);
}

TEST_F(DialogTest, HandlersBeforeInitialisationOnlyTrace) {
  dlg->OnRadio2();
  EXPECT_EQ(dlg->m_job.nMode, kModeFirmware);
  EXPECT_THAT(trace.lines, ElementsAre("OnRadio2\n"));
  dlg->OnLoad();
  dlg->OnUpgrade();
  EXPECT_TRUE(view.filtersOffered.empty());
  EXPECT_FALSE(dlg->m_bTransferActive);
}

class FakeToolkit final : public DialogToolkit {
 public:
  std::unique_ptr<DialogView> CreateMainView() override {
    auto view = std::make_unique<FakeDialogView>();
    view->onModal = [this](FakeDialogView& v) {
      caption = v.caption;
      v.Click(IDCANCEL);
    };
    ++views;
    return view;
  }
  UserThreadExecutor& Executor() override { return loop; }
  EventLoop loop;
  int views = 0;
  std::string caption;
};

TEST(QlbLoaderApp, RunsTheDialogModallyAndEndsWithIt) {
  FakeToolkit toolkit;
  CQlbLoaderApp app(toolkit);
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(toolkit.views, 1);
  EXPECT_EQ(toolkit.caption, "T42RM-Upgrade  ver.1.1.0  (Jul 25 2008)");
}

}  // namespace
}  // namespace t42rm::app
