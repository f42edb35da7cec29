// The application icon (resource IDR_MAINFRAME), drawn in code: a device with
// an upward arrow, at 32x32 and 16x16. GUI thread, after QApplication exists.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace t42rm::app {

QPixmap AppIconPixmap(int size);  // 16 and 32 have their own drawings
QIcon AppIcon();                  // both sizes

}  // namespace t42rm::app
