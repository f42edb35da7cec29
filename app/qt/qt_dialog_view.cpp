#include "app/qt/qt_dialog_view.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <algorithm>

#include "app/qt/app_icon.h"

namespace t42rm::app {
namespace {

// A closed combo box is as tall as the push button beside it; the template's
// height includes the dropped-down list.
constexpr int kClosedComboHeightDlu = 14;
// Gap kept between a widened mode button and the progress display.
constexpr int kAdditionGapDlu = 4;
// Right margin of the dialog's controls.
constexpr int kMarginDlu = 7;
constexpr int kIconSize = 32;

QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString WithoutMnemonic(QString text) {
  text.replace(QLatin1String("&&"), QLatin1String("\x01"));
  text.remove(QLatin1Char('&'));
  text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
  return text;
}

Qt::WindowFlags DialogFlags() {
  // Caption and close box; no minimise or maximise box.
  return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
         Qt::WindowCloseButtonHint;
}

// The width a control needs so that the font does not cut its text.
int NeededWidth(QWidget* w, const ControlTemplate& c) {
  const QFontMetrics fm(w->font());
  switch (c.kind) {
    case ControlKind::kAutoRadioButton: return w->sizeHint().width();
    case ControlKind::kPushButton: {
      const int frame = w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w);
      const int margin = w->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w);
      return fm.horizontalAdvance(WithoutMnemonic(ToQt(c.text))) + 2 * (frame + margin);
    }
    case ControlKind::kStaticText: return fm.horizontalAdvance(ToQt(c.text));
    default: return 0;
  }
}

// Creates one control of a template as a child of parent, placed and styled.
QWidget* CreateControl(QWidget* parent, const ControlTemplate& c, const DialogBaseUnits& base) {
  QWidget* w = nullptr;
  PixelRect r = DluToPixels(c.rect, base);
  switch (c.kind) {
    case ControlKind::kPushButton: {
      auto* b = new QPushButton(ToQt(c.text), parent);
      b->setAutoDefault(true);  // Enter presses the focused button
      b->setDefault((c.styles & kStyleDefPushButton) != 0);
      w = b;
      break;
    }
    case ControlKind::kEdit: {
      auto* e = new QLineEdit(ToQt(c.text), parent);
      e->setReadOnly((c.styles & kStyleReadOnly) != 0);
      e->setFrame((c.styles & kStyleBorder) != 0);
      w = e;
      break;
    }
    case ControlKind::kComboBox: {
      auto* cb = new QComboBox(parent);
      cb->setEditable((c.styles & kStyleDropDown) != 0);
      // A typed name is used as it is, not added to the list.
      cb->setInsertPolicy(QComboBox::NoInsert);
      cb->setDuplicatesEnabled(true);
      r.height = DluToPixelsY(c.rect.y + kClosedComboHeightDlu, base) - r.y;
      w = cb;
      break;
    }
    case ControlKind::kAutoRadioButton: w = new QRadioButton(ToQt(c.text), parent); break;
    case ControlKind::kStaticText: {
      auto* l = new QLabel(ToQt(c.text), parent);
      l->setTextFormat(Qt::PlainText);
      w = l;
      break;
    }
    case ControlKind::kIcon: {
      auto* l = new QLabel(parent);
      l->setPixmap(AppIconPixmap(kIconSize));
      // An icon control takes the icon's size.
      r.width = kIconSize;
      r.height = kIconSize;
      w = l;
      break;
    }
    case ControlKind::kProgressBar: {
      auto* p = new QProgressBar(parent);
      p->setRange(0, 1);
      p->setValue(0);
      p->setTextVisible(true);
      w = p;
      break;
    }
  }
  r.width = std::max(r.width, NeededWidth(w, c));
  w->setGeometry(r.x, r.y, r.width, r.height);
  w->setFocusPolicy((c.styles & kStyleTabStop) ? Qt::StrongFocus : Qt::NoFocus);
  if (c.styles & kStyleDisabled) w->setEnabled(false);
  if (c.styles & kStyleHidden) w->setVisible(false);
  return w;
}

void SetUpWindow(QDialog* dialog, const DialogTemplate& t, DialogBaseUnits& base) {
  dialog->setWindowFlags(DialogFlags());
  base = BaseUnitsOf(dialog->font());
  dialog->setFixedSize(DluToPixelsX(t.width, base), DluToPixelsY(t.height, base));
  dialog->setWindowTitle(ToQt(t.caption));
  dialog->setWindowIcon(AppIcon());
}

}  // namespace

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics fm(font);
  // As the dialog manager measures a font: the width of the 52 letters,
  // averaged and rounded, and the full line height.
  const int letters =
      fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters / 26 + 1) / 2, fm.height()};
}

// ---------------------------------------------------------------- About box

QtAboutDialog::QtAboutDialog(QWidget* parent) : QDialog(parent) {
  const DialogTemplate& t = AboutDialogTemplate();
  SetUpWindow(this, t, m_base);
  for (const ControlTemplate& c : t.controls) {
    QWidget* w = CreateControl(this, c, m_base);
    if (c.id == IDOK) connect(static_cast<QPushButton*>(w), &QPushButton::clicked, this, &QDialog::accept);
    m_controls.push_back(w);
  }
}

QWidget* QtAboutDialog::Control(size_t templateIndex) const {
  return templateIndex < m_controls.size() ? m_controls[templateIndex] : nullptr;
}

// -------------------------------------------------------------- Main dialog

QtDialogView::QtDialogView(QWidget* parent) : QDialog(parent) {
  const DialogTemplate& t = MainDialogTemplate();
  SetUpWindow(this, t, m_base);
  // Template order is creation order, and creation order is the tab order.
  for (const ControlTemplate& c : t.controls) {
    QWidget* w = CreateControl(this, c, m_base);
    w->setObjectName(QStringLiteral("control%1").arg(c.id));
    m_controls[c.id] = w;
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      const int id = c.id;
      connect(b, &QAbstractButton::clicked, this, [this, id] {
        if (m_events) m_events->OnCommand(id);
      });
    }
  }
  for (const ControlTemplate& c : MainDialogAdditions()) {
    QWidget* w = CreateControl(this, c, m_base);
    w->setObjectName(QStringLiteral("control%1").arg(c.id));
    m_controls[c.id] = w;
  }
  m_progress = static_cast<QProgressBar*>(m_controls.at(IDC_PROGRESS));
  m_status = static_cast<QLabel*>(m_controls.at(IDC_STATUS));
  PlaceAdditions();

  m_menu = new QMenu(this);
  m_timer.setParent(this);
  connect(&m_timer, &QTimer::timeout, this, [this] {
    if (m_events) m_events->OnTimer();
  });
}

QtDialogView::~QtDialogView() { m_timer.stop(); }

void QtDialogView::PlaceAdditions() {
  int right = 0;
  for (int id : {IDC_RADIO1, IDC_RADIO2, IDC_RADIO3, IDC_RADIO4})
    right = std::max(right, m_controls.at(id)->geometry().right() + 1);
  const int limit = width() - DluToPixelsX(kMarginDlu, m_base);
  for (QWidget* w : {static_cast<QWidget*>(m_progress), static_cast<QWidget*>(m_status)}) {
    QRect g = w->geometry();
    const int x = std::max(g.x(), right + DluToPixelsX(kAdditionGapDlu, m_base));
    g.setLeft(x);
    g.setRight(limit - 1);
    w->setGeometry(g);
  }
}

QWidget* QtDialogView::Control(int id) const {
  const auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : it->second;
}

void QtDialogView::Initialise(DialogEvents& events) {
  m_events = &events;
  events.OnInitDialog();
  // The first control with a tab stop has the focus: the Close button.
  m_controls.at(IDCANCEL)->setFocus(Qt::OtherFocusReason);
}

void QtDialogView::Open(DialogEvents& events) {
  Initialise(events);
  show();
}

int QtDialogView::RunModal(DialogEvents& events) {
  Initialise(events);
  const int result = exec();
  m_timer.stop();
  m_events = nullptr;
  return result;
}

void QtDialogView::EndDialog(int result) {
  m_timer.stop();
  QDialog::done(result);
}

void QtDialogView::reject() {
  // Esc and the close box go through the dialog's Cancel.
  if (m_events) {
    m_events->OnCancel();
  } else {
    QDialog::reject();
  }
}

void QtDialogView::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  if (enter && mods == Qt::NoModifier) {
    // A focused push button takes Enter itself; anywhere else it is OK.
    if (m_events) m_events->OnOK();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void QtDialogView::contextMenuEvent(QContextMenuEvent* event) {
  if (m_menu->actions().isEmpty()) {
    QDialog::contextMenuEvent(event);
    return;
  }
  m_menu->popup(event->globalPos());
  event->accept();
}

void QtDialogView::SetCaption(const std::string& text) { setWindowTitle(QString::fromStdString(text)); }

void QtDialogView::SetIcon(int /*iconId*/) { setWindowIcon(AppIcon()); }

void QtDialogView::AppendSystemMenuItem(unsigned commandId, const std::string& text) {
  m_menu->addSeparator();  // a menu collapses a leading separator
  QAction* action = m_menu->addAction(QString::fromStdString(text));
  connect(action, &QAction::triggered, this, [this, commandId] {
    if (m_events) m_events->OnSysCommand(commandId);
  });
}

void QtDialogView::EnableControl(int id, bool enable) {
  if (QWidget* w = Control(id)) w->setEnabled(enable);
}

bool QtDialogView::IsControlEnabled(int id) const {
  const QWidget* w = Control(id);
  return w && w->isEnabled();
}

void QtDialogView::ShowControl(int id, bool visible) {
  if (QWidget* w = Control(id)) w->setVisible(visible);
}

void QtDialogView::SetCheck(int id, bool checked) {
  if (auto* b = qobject_cast<QAbstractButton*>(Control(id))) b->setChecked(checked);
}

bool QtDialogView::IsChecked(int id) const {
  const auto* b = qobject_cast<const QAbstractButton*>(Control(id));
  return b && b->isChecked();
}

void QtDialogView::SetControlText(int id, const std::string& text) {
  const QString t = QString::fromStdString(text);
  QWidget* w = Control(id);
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(t);
  } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
    cb->setEditText(t);
  } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    b->setText(t);
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(t);
  }
}

std::string QtDialogView::GetControlText(int id) const {
  QWidget* w = Control(id);
  QString t;
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    t = e->text();
  } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
    t = cb->currentText();
  } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    t = b->text();
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    t = l->text();
  }
  return t.toStdString();
}

void QtDialogView::AddComboString(int id, const std::string& text) {
  if (auto* cb = qobject_cast<QComboBox*>(Control(id))) cb->addItem(QString::fromStdString(text));
}

void QtDialogView::SetComboSelection(int id, int index) {
  auto* cb = qobject_cast<QComboBox*>(Control(id));
  if (cb && index >= 0 && index < cb->count()) cb->setCurrentIndex(index);
}

FileChoice QtDialogView::ChooseFile(const FileFilter& filter) {
  if (m_chooser) return m_chooser(filter);
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // A typed name of a file that does not exist is accepted too.
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilter(QString::fromStdString(filter.description));
  FileChoice choice;
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return choice;
  const QString path = dialog.selectedFiles().front();
  choice.accepted = true;
  // The name in the file system's own encoding, for opening it.
  choice.fullPath = QFile::encodeName(path).toStdString();
  choice.fileName = QFileInfo(path).fileName().toStdString();
  return choice;
}

void QtDialogView::ShowAbout() {
  QtAboutDialog about(this);
  about.exec();
}

void QtDialogView::SetProgress(int value, int maximum) {
  m_progress->setRange(0, maximum);
  m_progress->setValue(value);
}

void QtDialogView::SetStatusText(const std::string& text) {
  m_statusText = QString::fromStdString(text);
  m_status->setToolTip(m_statusText);
  m_status->setText(
      m_status->fontMetrics().elidedText(m_statusText, Qt::ElideRight, m_status->width()));
  // At once, as the progress bar does: the protocol may hold this thread for
  // a whole block before the next paint.
  m_status->repaint();
}

void QtDialogView::StartTimer(int intervalMs) { m_timer.start(intervalMs); }

}  // namespace t42rm::app
