#include "ui/MarginMenu.h"

#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>

#include "server/KassiroServer.h"

namespace kassiro::ui {

TMarginMenu::TMarginMenu(QWidget* parent) : QMenu(parent) {
  setContentsMargins(MENU_MARGIN, 0, 0, 0);
  setSeparatorsCollapsible(false);
}

void TMarginMenu::paintEvent(QPaintEvent* e) {
  QMenu::paintEvent(e);
  QPainter p(this);
  const QRect margin(0, 0, MENU_MARGIN, height());
  QLinearGradient gradient(margin.topLeft(), margin.bottomLeft());
  gradient.setColorAt(0, QColor(255, 255, 0));
  gradient.setColorAt(1, QColor(63, 63, 0));
  p.fillRect(margin, gradient);

  QFont font(QStringLiteral("Arial"), 15, QFont::Bold);
  p.setFont(font);
  p.setPen(Qt::white);
  p.setBackgroundMode(Qt::TransparentMode);
  const QFontMetrics fm(font);
  // Rotated a quarter turn back, the text runs upwards; its baseline is a column,
  // placed so the letters sit in the middle of the margin.
  const int baseline = (MENU_MARGIN + fm.ascent() - fm.descent()) / 2;
  p.translate(baseline, height() - 5);
  p.rotate(-90);
  p.drawText(0, 0, QString::fromLatin1(APP_NAME));
}

void TMarginMenu::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_F1 && activeAction() != nullptr) {
    emit helpRequested(activeAction()->data().toInt());
    return;
  }
  QMenu::keyPressEvent(e);
}

}  // namespace kassiro::ui
