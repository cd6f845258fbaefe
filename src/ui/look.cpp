#include "ui/look.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

#include "build_config.h"

namespace sorvanta::ui {
namespace {

QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  QPainterPath tile;
  tile.addRoundedRect(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92), s * 0.2, s * 0.2);
  QLinearGradient fill(0, 0, 0, s);
  fill.setColorAt(0, QColor(0x2d, 0x7d, 0xd2));
  fill.setColorAt(1, QColor(0x1b, 0x4f, 0x9c));
  p.fillPath(tile, fill);
  // A gauge needle over three bars: measuring things.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 230));
  const qreal barW = s * 0.14;
  const qreal base = s * 0.78;
  const qreal heights[] = {0.22, 0.36, 0.5};
  for (int i = 0; i < 3; ++i) {
    qreal x = s * 0.22 + i * (barW + s * 0.07);
    p.drawRoundedRect(QRectF(x, base - s * heights[i], barW, s * heights[i]), s * 0.03, s * 0.03);
  }
  p.setPen(QPen(QColor(0xff, 0xc1, 0x07), s * 0.07, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(s * 0.2, s * 0.34), QPointF(s * 0.8, s * 0.2));
  return pixmap;
}

}  // namespace

QIcon MainIcon() {
  static const QIcon icon = [] {
    QIcon built;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) built.addPixmap(DrawIcon(size));
    return built;
  }();
  return icon;
}

void ApplyLook(QApplication& app) {
  QFont font = app.font();
  font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans SC"),
                    QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Droid Sans Fallback")});
  if (font.pointSizeF() < 10) font.setPointSizeF(10);
  app.setFont(font);
  app.setWindowIcon(MainIcon());
}

void ResizeWithinScreen(QWidget* window, QSize size) {
  if (QScreen* screen = window->screen()) {
    const QSize room = screen->availableGeometry().size() * 9 / 10;
    size = size.boundedTo(room).expandedTo(window->minimumSizeHint());
  }
  window->resize(size);
}

QString ProductVersion() { return QStringLiteral(SORVANTA_VERSION); }

}  // namespace sorvanta::ui
