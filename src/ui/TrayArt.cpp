#include "ui/TrayArt.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>

#include "operator/TrayMenu.h"
#include "ui/OperatorNames.h"

namespace kassiro::ui {

namespace {

// A cash register seen from the front: a display on a stand, a body with keys and a
// drawer. The display is green while the server runs and red while it is stopped.
void DrawRegister(QPainter& p, int image) {
  p.setRenderHint(QPainter::Antialiasing);
  const QColor outline(40, 40, 48);
  p.setPen(QPen(outline, 1.2));
  // Display.
  p.setBrush(image == IMAGE_RUNNING ? QColor(40, 190, 60) : QColor(215, 40, 40));
  p.drawRoundedRect(QRectF(9, 2, 14, 8), 1.5, 1.5);
  p.setBrush(outline);
  p.drawRect(QRectF(14.5, 10, 3, 3));
  // Body with keys.
  QPainterPath body;
  body.moveTo(5, 13);
  body.lineTo(27, 13);
  body.lineTo(30, 24);
  body.lineTo(2, 24);
  body.closeSubpath();
  p.setBrush(QColor(220, 222, 228));
  p.drawPath(body);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 80, 110));
  for (int row = 0; row < 2; ++row)
    for (int col = 0; col < 5; ++col)
      p.drawRect(QRectF(7.5 + col * 3.8 - row * 0.8, 15 + row * 4, 2.6, 2.4));
  // Drawer.
  p.setPen(QPen(outline, 1.2));
  p.setBrush(QColor(150, 155, 165));
  p.drawRect(QRectF(2, 24, 28, 6));
  p.drawLine(QPointF(13, 27), QPointF(19, 27));
}

void DrawText(QPainter& p, const QRect& cell, const QString& text, const QColor& color, int px) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(px);
  f.setBold(true);
  p.setFont(f);
  p.setPen(color);
  p.drawText(cell, Qt::AlignCenter, text);
}

// Glyph `tag` (1..10) into the cell.
void DrawGlyph(QPainter& p, int tag, const QRect& c) {
  const QPointF o = c.topLeft();
  const QColor ink(40, 40, 60);
  p.setRenderHint(QPainter::Antialiasing);
  switch (tag) {
    case 1: {  // access: a key
      p.setPen(QPen(QColor(150, 110, 0), 2));
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(QRectF(o.x() + 1.5, o.y() + 4.5, 6, 6));
      p.drawLine(QPointF(o.x() + 7.5, o.y() + 7.5), QPointF(o.x() + 14.5, o.y() + 7.5));
      p.drawLine(QPointF(o.x() + 12.5, o.y() + 7.5), QPointF(o.x() + 12.5, o.y() + 11));
      p.drawLine(QPointF(o.x() + 14.5, o.y() + 7.5), QPointF(o.x() + 14.5, o.y() + 10));
      break;
    }
    case 2:  // offset: the receipt counter
      p.setPen(QPen(ink, 1));
      p.setBrush(QColor(255, 255, 255));
      p.drawRect(QRectF(o.x() + 2.5, o.y() + 0.5, 11, 15));
      DrawText(p, c.adjusted(0, 1, 0, 0), QStringLiteral("#"), QColor(0, 90, 170), 11);
      break;
    case 3:  // server ports: a plug
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(60, 60, 70));
      p.drawRoundedRect(QRectF(o.x() + 3, o.y() + 5, 10, 7), 2, 2);
      p.drawRect(QRectF(o.x() + 5, o.y() + 1, 2, 4));
      p.drawRect(QRectF(o.x() + 9, o.y() + 1, 2, 4));
      p.drawRect(QRectF(o.x() + 7, o.y() + 12, 2, 4));
      break;
    case 4:  // code table
      DrawText(p, c, QStringLiteral("Aa"), QColor(120, 30, 140), 10);
      break;
    case 5:  // status: a window with a grid
      p.setPen(QPen(ink, 1));
      p.setBrush(QColor(255, 255, 255));
      p.drawRect(QRectF(o.x() + 1.5, o.y() + 2.5, 13, 11));
      p.fillRect(QRectF(o.x() + 2, o.y() + 3, 12, 3), QColor(60, 110, 200));
      for (int y = 8; y <= 12; y += 2) p.drawLine(QPointF(o.x() + 4, o.y() + y), QPointF(o.x() + 12, o.y() + y));
      break;
    case 6:  // help
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(40, 100, 200));
      p.drawEllipse(QRectF(o.x() + 1, o.y() + 1, 14, 14));
      DrawText(p, c, QStringLiteral("?"), Qt::white, 11);
      break;
    case 7: {  // start
      QPainterPath tri;
      tri.moveTo(o.x() + 4, o.y() + 2);
      tri.lineTo(o.x() + 14, o.y() + 8);
      tri.lineTo(o.x() + 4, o.y() + 14);
      tri.closeSubpath();
      p.fillPath(tri, QColor(30, 160, 50));
      break;
    }
    case 8:  // stop
      p.fillRect(QRectF(o.x() + 3, o.y() + 3, 10, 10), QColor(200, 30, 30));
      break;
    case 9: {  // exit: a door and an arrow
      p.setPen(QPen(ink, 1));
      p.setBrush(QColor(170, 120, 70));
      p.drawRect(QRectF(o.x() + 1.5, o.y() + 1.5, 7, 13));
      p.setPen(QPen(QColor(200, 30, 30), 2));
      p.drawLine(QPointF(o.x() + 7, o.y() + 8), QPointF(o.x() + 15, o.y() + 8));
      p.drawLine(QPointF(o.x() + 12, o.y() + 5), QPointF(o.x() + 15, o.y() + 8));
      p.drawLine(QPointF(o.x() + 12, o.y() + 11), QPointF(o.x() + 15, o.y() + 8));
      break;
    }
    default: {  // 10: the register itself, small
      p.save();
      p.translate(o);
      p.scale(0.5, 0.5);
      DrawRegister(p, IMAGE_RUNNING);
      p.restore();
      break;
    }
  }
}

}  // namespace

QPixmap TrayImage(int image, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.scale(size / 32.0, size / 32.0);
  DrawRegister(p, image);
  return pm;
}

QIcon TrayIconFor(int image) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(TrayImage(image, size));
  return icon;
}

QIcon AppIcon() { return TrayIconFor(IMAGE_RUNNING); }

QPixmap GlyphStrip() {
  QPixmap strip(GLYPH_SIZE * GLYPH_COUNT, GLYPH_SIZE);
  strip.fill(Qt::transparent);
  QPainter p(&strip);
  for (int tag = 1; tag <= GLYPH_COUNT; ++tag) {
    p.save();
    DrawGlyph(p, tag, QRect((tag - 1) * GLYPH_SIZE, 0, GLYPH_SIZE, GLYPH_SIZE));
    p.restore();
  }
  return strip;
}

QIcon GlyphIcon(const QPixmap& strip, int tag) {
  if (tag < 1 || tag > GLYPH_COUNT) return {};
  return QIcon(strip.copy((tag - 1) * GLYPH_SIZE, 0, GLYPH_SIZE, GLYPH_SIZE));
}

}  // namespace kassiro::ui
