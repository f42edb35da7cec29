#include "app/qt/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace t42rm::app {
namespace {

// A 16-colour palette look: navy body, grey pins, green arrow, white screen.
const QColor kBody(0, 0, 128);
const QColor kPin(192, 192, 192);
const QColor kScreen(255, 255, 255);
const QColor kArrow(0, 160, 0);
const QColor kOutline(0, 0, 0);

void DrawIcon(QPainter& p, int size) {
  const qreal u = size / 16.0;  // drawn on a 16-unit grid, scaled
  p.setRenderHint(QPainter::Antialiasing, size > 16);
  p.setPen(Qt::NoPen);
  // Pins on both sides: the embedded device.
  p.setBrush(kPin);
  for (int i = 0; i < 3; ++i) {
    p.drawRect(QRectF(0.5 * u, (4.5 + 3 * i) * u, 2 * u, 1.2 * u));
    p.drawRect(QRectF(13.5 * u, (4.5 + 3 * i) * u, 2 * u, 1.2 * u));
  }
  p.setPen(QPen(kOutline, size > 16 ? 1.0 : 0.0));
  p.setBrush(kBody);
  p.drawRoundedRect(QRectF(2.5 * u, 2.5 * u, 11 * u, 12 * u), 1.5 * u, 1.5 * u);
  // Serial connector at the foot.
  p.setBrush(kPin);
  p.drawRect(QRectF(5.5 * u, 13.5 * u, 5 * u, 2 * u));
  // The upgrade arrow on a white field.
  p.setPen(Qt::NoPen);
  p.setBrush(kScreen);
  p.drawRect(QRectF(4 * u, 4 * u, 8 * u, 8.5 * u));
  QPolygonF arrow;
  arrow << QPointF(8 * u, 4.5 * u) << QPointF(11.5 * u, 8.2 * u) << QPointF(9.3 * u, 8.2 * u)
        << QPointF(9.3 * u, 12 * u) << QPointF(6.7 * u, 12 * u) << QPointF(6.7 * u, 8.2 * u)
        << QPointF(4.5 * u, 8.2 * u);
  p.setBrush(kArrow);
  p.drawPolygon(arrow);
}

}  // namespace

QPixmap AppIconPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  DrawIcon(p, size);
  return pixmap;
}

QIcon AppIcon() {
  QIcon icon;
  icon.addPixmap(AppIconPixmap(16));
  icon.addPixmap(AppIconPixmap(32));
  return icon;
}

}  // namespace t42rm::app
