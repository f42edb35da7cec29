// The Qt view's wiring, offscreen: clicks, keys and the context menu reach the
// dialog's events; the window is laid out from the template; the real dialog's
// states show in the widgets.
#include "app/qt/qt_dialog_view.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/QlbLoaderDlg.h"
#include "app/qt/qt_executor.h"
#include "common/fake_clock.h"
#include "tests/app/qt_test_support.h"
#include "tests/support/fake_serial_device.h"

namespace t42rm::app {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using t42rm::testing::FakeSerialDevice;
using testing::WaitFor;
using testing::WhenModalAppears;

// Records what the view reports, as the dialog's message map would get it.
class RecordingEvents final : public DialogEvents {
 public:
  explicit RecordingEvents(QtDialogView& v) : view(v) {}
  bool OnInitDialog() override {
    ++inits;
    view.AppendSystemMenuItem(IDM_ABOUTBOX, "&About QlbLoader...");
    return true;
  }
  bool OnCommand(int id) override {
    commands.push_back(id);
    checkedWhenCalled.push_back(view.IsChecked(id));
    return true;
  }
  bool OnSysCommand(unsigned id) override {
    sysCommands.push_back(id);
    return true;
  }
  void OnOK() override { ++oks; }
  void OnCancel() override { ++cancels; }
  void OnTimer() override { ++ticks; }

  QtDialogView& view;
  int inits = 0, oks = 0, cancels = 0, ticks = 0;
  std::vector<int> commands;
  std::vector<bool> checkedWhenCalled;
  std::vector<unsigned> sysCommands;
};

class QtViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.Open(events);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  }
  QWidget* W(int id) { return view.Control(id); }
  void Click(int id) { QTest::mouseClick(W(id), Qt::LeftButton); }

  QtDialogView view;
  RecordingEvents events{view};
};

TEST_F(QtViewTest, ClicksReachTheHandlersWithTheirIds) {
  EXPECT_EQ(events.inits, 1);
  for (int id : {IDC_CONNECT, IDCANCEL, IDC_RADIO2, IDC_RADIO4, IDC_RADIO3, IDC_RADIO1}) Click(id);
  EXPECT_THAT(events.commands,
              ElementsAre(IDC_CONNECT, IDCANCEL, IDC_RADIO2, IDC_RADIO4, IDC_RADIO3, IDC_RADIO1));
  // Each radio button was checked by the group before its handler ran.
  EXPECT_THAT(events.checkedWhenCalled, ElementsAre(false, false, true, true, true, true));
  EXPECT_FALSE(view.IsChecked(IDC_RADIO3));

  // Load is created disabled and takes no click until enabled.
  Click(IDC_LOAD);
  EXPECT_EQ(events.commands.size(), 6u);
  view.EnableControl(IDC_LOAD, true);
  Click(IDC_LOAD);
  EXPECT_EQ(events.commands.back(), IDC_LOAD);
}

TEST_F(QtViewTest, MnemonicsPressLoadAndConnect) {
  // A mnemonic presses its button visibly: the click comes a moment later.
  QTest::keyClick(&view, Qt::Key_C, Qt::AltModifier);
  ASSERT_TRUE(WaitFor([&] { return !events.commands.empty(); }));
  EXPECT_THAT(events.commands, ElementsAre(IDC_CONNECT));
  QTest::keyClick(&view, Qt::Key_L, Qt::AltModifier);  // disabled
  QTest::qWait(300);
  EXPECT_EQ(events.commands.size(), 1u);
  view.EnableControl(IDC_LOAD, true);
  QTest::keyClick(&view, Qt::Key_L, Qt::AltModifier);
  ASSERT_TRUE(WaitFor([&] { return events.commands.size() == 2; }));
  EXPECT_THAT(events.commands, ElementsAre(IDC_CONNECT, IDC_LOAD));
}

TEST_F(QtViewTest, EnterPressesTheFocusedButtonAndIsOkElsewhere) {
  // After start the Close button has the focus: Enter presses it.
  ASSERT_EQ(QApplication::focusWidget(), W(IDCANCEL));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_THAT(events.commands, ElementsAre(IDCANCEL));
  EXPECT_EQ(events.oks, 0);

  W(IDC_CONNECT)->setFocus();
  QTest::keyClick(W(IDC_CONNECT), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_THAT(events.commands, ElementsAre(IDCANCEL, IDC_CONNECT));

  const int others[] = {IDC_RADIO1, IDC_PATH, IDC_PORT};
  for (int id : others) {
    W(id)->setFocus();
    ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() != nullptr; }));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  }
  EXPECT_EQ(events.oks, 3);
  EXPECT_EQ(events.commands.size(), 2u);
}

TEST_F(QtViewTest, EscAndTheCloseBoxAreCancel) {
  QTest::keyClick(&view, Qt::Key_Escape);
  EXPECT_EQ(events.cancels, 1);
  EXPECT_TRUE(view.isVisible());  // the dialog decides; EndDialog closes
  view.close();
  EXPECT_EQ(events.cancels, 2);
  view.EndDialog(IDCANCEL);
  EXPECT_FALSE(view.isVisible());
  EXPECT_EQ(view.result(), IDCANCEL);
}

TEST_F(QtViewTest, ContextMenuOffersTheAboutEntry) {
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(300, 100), view.mapToGlobal(QPoint(300, 100)));
  QApplication::sendEvent(&view, &event);
  QMenu* menu = view.ContextMenu();
  ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }));
  QAction* about = nullptr;
  for (QAction* a : menu->actions())
    if (!a->isSeparator()) about = a;
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->text(), "&About QlbLoader...");
  about->trigger();
  EXPECT_THAT(events.sysCommands, ElementsAre(IDM_ABOUTBOX));
  menu->hide();
}

TEST_F(QtViewTest, TimerTicksTheDialog) {
  view.StartTimer(5);
  EXPECT_TRUE(WaitFor([&] { return events.ticks >= 2; }));
  view.EndDialog(IDOK);
  const int ticks = events.ticks;
  QTest::qWait(30);
  EXPECT_EQ(events.ticks, ticks);  // ending the dialog stops it
}

void ExpectPlaced(QWidget* w, const ControlTemplate& c, const DialogBaseUnits& base) {
  SCOPED_TRACE(c.id);
  ASSERT_NE(w, nullptr);
  PixelRect want = DluToPixels(c.rect, base);
  if (c.kind == ControlKind::kComboBox) want.height = DluToPixelsY(c.rect.y + 14, base) - want.y;
  EXPECT_EQ(w->x(), want.x);
  EXPECT_EQ(w->y(), want.y);
  EXPECT_EQ(w->height(), want.height);
  if (auto* b = qobject_cast<QRadioButton*>(w)) {
    EXPECT_GE(w->width(), b->sizeHint().width());  // the text is not cut
  }
  if (w->width() != want.width) {
    // Widened only because the text did not fit.
    EXPECT_GT(w->width(), want.width);
    if (auto* b = qobject_cast<QRadioButton*>(w)) {
      EXPECT_EQ(w->width(), b->sizeHint().width());
    } else {
      ADD_FAILURE() << "widened a control that is not a mode button";
    }
  }
}

TEST_F(QtViewTest, GeometryFollowsTheTemplateAtAnyFont) {
  for (int pointSize : {0, 16}) {
    QtDialogView* v = &view;
    std::unique_ptr<QtDialogView> big;
    if (pointSize) {
      const QFont original = QApplication::font();
      QFont f = original;
      f.setPointSize(pointSize);
      QApplication::setFont(f);
      big = std::make_unique<QtDialogView>();
      QApplication::setFont(original);
      v = big.get();
      EXPECT_GT(v->BaseUnits().charWidth, view.BaseUnits().charWidth);
    }
    const DialogBaseUnits base = v->BaseUnits();
    const DialogTemplate& t = MainDialogTemplate();
    EXPECT_EQ(v->size(), QSize(DluToPixelsX(t.width, base), DluToPixelsY(t.height, base)));
    for (const ControlTemplate& c : t.controls) ExpectPlaced(v->Control(c.id), c, base);
    // The additions lie inside the dialog and clear of every template control.
    for (const ControlTemplate& a : MainDialogAdditions()) {
      const QRect r = v->Control(a.id)->geometry();
      EXPECT_TRUE(v->rect().contains(r)) << a.id;
      for (const ControlTemplate& c : t.controls)
        if (c.kind != ControlKind::kComboBox && c.id != IDC_UPGRADE) {
          EXPECT_FALSE(r.intersects(v->Control(c.id)->geometry())) << a.id << " / " << c.id;
        }
    }
  }
  // Created as the template says.
  EXPECT_FALSE(W(IDC_UPGRADE)->isVisible());
  EXPECT_FALSE(W(IDC_LOAD)->isEnabled());
  EXPECT_TRUE(static_cast<QLineEdit*>(W(IDC_PATH))->isReadOnly());
  EXPECT_TRUE(static_cast<QComboBox*>(W(IDC_PORT))->isEditable());
  // No push button is a default one; only the focused one takes Enter.
  EXPECT_FALSE(static_cast<QPushButton*>(W(IDC_CONNECT))->isDefault());
}

TEST(QtAboutBox, FollowsTemplate100) {
  QtAboutDialog about;
  const DialogTemplate& t = AboutDialogTemplate();
  const DialogBaseUnits base = about.BaseUnits();
  EXPECT_EQ(about.windowTitle(), "About QlbLoader");
  EXPECT_EQ(about.size(), QSize(DluToPixelsX(t.width, base), DluToPixelsY(t.height, base)));
  auto* icon = qobject_cast<QLabel*>(about.Control(0));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));
  EXPECT_EQ(qobject_cast<QLabel*>(about.Control(1))->text(), "QlbLoader Version 1.1");
  EXPECT_THAT(qobject_cast<QLabel*>(about.Control(2))->text().toStdString(), StartsWith("Copyright"));
  auto* ok = qobject_cast<QPushButton*>(about.Control(3));
  ASSERT_NE(ok, nullptr);
  EXPECT_TRUE(ok->isDefault());
  const PixelRect r = DluToPixels(t.controls[3].rect, base);
  EXPECT_EQ(ok->geometry(), QRect(r.x, r.y, r.width, r.height));
  const QList<QSize> sizes = about.windowIcon().availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));
}

// The real dialog in the Qt view, on the fake serial device.
class QtDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DialogSeams seams;
    seams.device = std::make_unique<FakeSerialDevice>(port);
    seams.clock = &clock;
    seams.listPorts = [] { return std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}; };
    dlg = std::make_unique<CQlbLoaderDlg>(view, executor, std::move(seams));
    view.Open(*dlg);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  }
  QWidget* W(int id) { return view.Control(id); }

  QtUserThreadExecutor executor;  // outlives the dialog
  QtDialogView view;
  FakeClock clock;
  std::shared_ptr<FakeSerialDevice::Shared> port = std::make_shared<FakeSerialDevice::Shared>();
  std::unique_ptr<CQlbLoaderDlg> dlg;
};

TEST_F(QtDialogTest, WidgetsShowTheDialogStates) {
  EXPECT_EQ(view.windowTitle(), "T42RM-Upgrade  ver.1.1.0  (Jul 25 2008)");
  auto* combo = static_cast<QComboBox*>(W(IDC_PORT));
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->currentText(), "/dev/ttyUSB0");
  EXPECT_TRUE(static_cast<QRadioButton*>(W(IDC_RADIO1))->isChecked());
  EXPECT_FALSE(W(IDC_LOAD)->isEnabled());
  EXPECT_TRUE(view.windowIcon().availableSizes().contains(QSize(32, 32)));

  // A typed name is used whole and not added to the list.
  combo->setFocus();
  combo->lineEdit()->selectAll();
  QTest::keyClicks(combo->lineEdit(), "/dev/pts/77");
  QTest::mouseClick(W(IDC_CONNECT), Qt::LeftButton);
  EXPECT_EQ(port->openedPath, "/dev/pts/77");
  EXPECT_EQ(combo->count(), 2);
  EXPECT_TRUE(W(IDC_LOAD)->isEnabled());
  EXPECT_EQ(view.StatusText(), "Connected to /dev/pts/77");

  QTest::mouseClick(W(IDC_RADIO4), Qt::LeftButton);
  EXPECT_EQ(dlg->m_job.nMode, kModeModule);

  FileFilter offered;
  view.SetFileChooser([&](const FileFilter& f) {
    offered = f;
    return FileChoice{true, "/nonexistent/dir/m.exx", "m.exx"};
  });
  QTest::mouseClick(W(IDC_LOAD), Qt::LeftButton);
  EXPECT_EQ(offered.description, "user data File (*.exx)");
  EXPECT_EQ(static_cast<QLineEdit*>(W(IDC_PATH))->text(), "/nonexistent/dir/m.exx");
  EXPECT_TRUE(W(IDC_UPGRADE)->isEnabled());
  EXPECT_FALSE(W(IDC_UPGRADE)->isVisible());
  EXPECT_EQ(view.StatusText(), "File not found: /nonexistent/dir/m.exx");
}

TEST_F(QtDialogTest, ContextMenuOpensTheAboutBoxModally) {
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(350, 120), view.mapToGlobal(QPoint(350, 120)));
  QApplication::sendEvent(&view, &event);
  ASSERT_TRUE(WaitFor([&] { return view.ContextMenu()->isVisible(); }));
  QString title;
  WhenModalAppears([&](QWidget* w) {
    title = w->windowTitle();
    auto* about = dynamic_cast<QtAboutDialog*>(w);
    ASSERT_NE(about, nullptr);
    QTest::mouseClick(about->Control(3), Qt::LeftButton);  // OK
  });
  QAction* action = view.ContextMenu()->actions().back();
  view.ContextMenu()->hide();
  action->trigger();  // returns when the About box has ended
  EXPECT_EQ(title, "About QlbLoader");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace t42rm::app
