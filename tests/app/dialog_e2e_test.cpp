// End to end: the Qt dialog on a real pseudo-terminal, the device simulator on
// its other end, a channel data upgrade started by clicking Load, in real time.
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/QlbLoaderDlg.h"
#include "app/qt/qt_dialog_view.h"
#include "app/qt/qt_executor.h"
#include "common/base_global.h"
#include "platform/serial_device.h"
#include "sim/device_simulator.h"
#include "tests/app/qt_test_support.h"

namespace t42rm::app {
namespace {

namespace fs = std::filesystem;
using ::testing::StartsWith;
using testing::WaitFor;

TEST(DialogEndToEnd, ChannelUpgradeFromLoadToFinishedAgainstTheSimulator) {
  PseudoTerminal pty;
  OsError error;
  ASSERT_TRUE(OpenPseudoTerminal(pty, error)) << error.Describe();

  // Two blocks of data and a blank one: about 2.5 s of real block pacing.
  std::vector<uint8_t> image(3 * kBlockSize, 0xFF);
  for (size_t i = 0; i < 2 * kBlockSize; ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
  const fs::path imagePath =
      fs::temp_directory_path() / ("t42rm-e2e-" + std::to_string(::getpid()) + ".qlu");
  std::ofstream(imagePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

  sim::SimulatorOptions options;
  options.expectedMode = kModeChannel;
  options.startTimeoutMs = 20000;
  sim::DeviceSimulator simulator(*pty.master, MonotonicClock(), options);
  sim::SimResult verdict;
  std::atomic<bool> simDone{false};
  std::thread simThread([&] {
    verdict = simulator.Run();
    simDone = true;
  });

  {
    QtUserThreadExecutor executor;
    QtDialogView view;
    CQlbLoaderDlg dlg(view, executor);
    view.Open(dlg);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));

    auto* combo = static_cast<QComboBox*>(view.Control(IDC_PORT));
    combo->setEditText(QString::fromStdString(pty.slavePath));
    QTest::mouseClick(view.Control(IDC_CONNECT), Qt::LeftButton);
    ASSERT_TRUE(view.Control(IDC_LOAD)->isEnabled()) << view.StatusText().toStdString();
    QTest::mouseClick(view.Control(IDC_RADIO3), Qt::LeftButton);

    FileFilter offered;
    view.SetFileChooser([&](const FileFilter& f) {
      offered = f;
      return FileChoice{true, imagePath.string(), imagePath.filename().string()};
    });
    QTest::mouseClick(view.Control(IDC_LOAD), Qt::LeftButton);
    EXPECT_EQ(offered.description, "user data File (*.qlu)");

    auto* bar = static_cast<QProgressBar*>(view.Control(IDC_PROGRESS));
    const bool finished = WaitFor(
        [&] { return simDone.load() && view.StatusText().startsWith(QLatin1String("Finished")); },
        30000);
    EXPECT_TRUE(finished) << view.StatusText().toStdString();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(bar->text(), "100%");
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", Crc32(image.data(), image.size()));
    EXPECT_EQ(view.StatusText().toStdString(), std::string("Finished: 3 blocks, CRC-32 ") + crc);
    EXPECT_EQ(static_cast<QLineEdit*>(view.Control(IDC_PATH))->text().toStdString(),
              imagePath.string());
    if (!simDone) simulator.Cancel();
    simThread.join();
  }

  EXPECT_TRUE(verdict.ok) << verdict.Summary();
  EXPECT_EQ(verdict.mode, kModeChannel);
  EXPECT_EQ(verdict.imageSize, image.size());
  EXPECT_EQ(verdict.blocksReceived, 3);
  EXPECT_EQ(verdict.blanks, 1);
  EXPECT_EQ(verdict.imageCrc, Crc32(image.data(), image.size()));
  std::error_code ec;
  fs::remove(imagePath, ec);
}

}  // namespace
}  // namespace t42rm::app
