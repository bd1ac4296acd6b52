#include "app/Images.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace vix {

namespace {

const QColor kNavy(0x1f, 0x3a, 0x68);
const QColor kSky(0x3f, 0x7c, 0xc4);

QPixmap Transparent(int w, int h) {
  QPixmap pixmap(w, h);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

// A key lying on its side, in a box of the given size at the origin.
void PaintKey(QPainter& p, qreal size, const QColor& color) {
  const qreal s = size / 16.0;
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  QPainterPath bow;
  bow.addEllipse(QPointF(5 * s, 8 * s), 4 * s, 4 * s);
  bow.addEllipse(QPointF(4.5 * s, 8 * s), 1.5 * s, 1.5 * s);
  bow.setFillRule(Qt::OddEvenFill);
  p.drawPath(bow);
  p.drawRect(QRectF(8.5 * s, 7 * s, 7 * s, 2 * s));
  p.drawRect(QRectF(12 * s, 9 * s, 1.5 * s, 3 * s));
  p.drawRect(QRectF(14.2 * s, 9 * s, 1.5 * s, 2 * s));
}

}  // namespace

QPixmap PaintBanner() {
  QPixmap pixmap(kBannerWidth, kBannerHeight);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, kBannerWidth, 0);
  sky.setColorAt(0, kNavy);
  sky.setColorAt(1, kSky);
  p.fillRect(pixmap.rect(), sky);
  // A soft band of light across the right half.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 28));
  p.drawEllipse(QPointF(430, 10), 140, 70);
  p.drawEllipse(QPointF(470, 95), 110, 45);
  // The emblem: a key on a white disc.
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(52, 45), 30, 30);
  p.save();
  p.translate(30, 23);
  PaintKey(p, 44, kNavy);
  p.restore();
  // Title and subtitle.
  QFont title;
  title.setFamilies({QStringLiteral("맑은 고딕"), QStringLiteral("Malgun Gothic"), QStringLiteral("NanumGothic")});
  title.setPixelSize(26);
  title.setBold(true);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRect(100, 14, 390, 38), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("사용자 인증"));
  QFont sub = title;
  sub.setPixelSize(13);
  sub.setBold(false);
  p.setFont(sub);
  p.setPen(QColor(0xdd, 0xe8, 0xf6));
  p.drawText(QRect(102, 52, 390, 22), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("계정과 사용자를 확인한 뒤 설치를 계속합니다."));
  return pixmap;
}

QPixmap PaintGlyph(int index) {
  QPixmap pixmap = Transparent(kGlyphSize, kGlyphSize);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  switch (index) {
    case 0: {  // confirm: a green tick
      QPen pen(QColor(0x2e, 0x8b, 0x3a), 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
      p.setPen(pen);
      p.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6.5, 12.5), QPointF(13.5, 3.5)}));
      break;
    }
    case 1: {  // cancel: a red cross
      QPen pen(QColor(0xc6, 0x28, 0x28), 2.6, Qt::SolidLine, Qt::RoundCap);
      p.setPen(pen);
      p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
      p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
      break;
    }
    default: PaintKey(p, kGlyphSize, QColor(0xc8, 0x96, 0x1e)); break;
  }
  return pixmap;
}

QIcon PaintWindowIcon() {
  QPixmap pixmap = Transparent(kGlyphSize, kGlyphSize);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(kNavy);
  p.drawRoundedRect(QRectF(0, 0, 16, 16), 3, 3);
  p.translate(1, 1);
  PaintKey(p, 14, Qt::white);
  p.end();
  return QIcon(pixmap);
}

}  // namespace vix
