#include "app/Look.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace ambrel {

QColor shade(const QColor& colour, int delta) {
    auto c = [delta](int v) { return std::clamp(v + delta, 0, 255); };
    return QColor(c(colour.red()), c(colour.green()), c(colour.blue()));
}

namespace {

QPixmap blank(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void strikeThrough(QPainter& p, int size) {
    QPen pen(QColor(200, 30, 30), std::max(2.0, size / 9.0), Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.drawLine(QPointF(size * 0.15, size * 0.85), QPointF(size * 0.85, size * 0.15));
}

}  // namespace

QPixmap appIconPixmap(int size) {
    QPixmap pixmap = blank(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    // Balloon.
    QPainterPath balloon;
    balloon.addRoundedRect(QRectF(4, 6, 56, 40), 14, 14);
    QPainterPath tail;
    tail.moveTo(16, 40);
    tail.lineTo(10, 58);
    tail.lineTo(30, 44);
    tail.closeSubpath();
    p.setPen(QPen(QColor(40, 110, 40), 3));
    p.setBrush(kFaceColour);
    p.drawPath(balloon.united(tail));
    // Two sound waves around a dot.
    p.setBrush(QColor(40, 110, 40));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(22, 26), 5, 5);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(40, 110, 40), 3.5, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(16, 14, 24, 24), -55 * 16, 110 * 16);
    p.drawArc(QRectF(10, 6, 40, 40), -50 * 16, 100 * 16);
    return pixmap;
}

QIcon appIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64}) icon.addPixmap(appIconPixmap(size));
    return icon;
}

QPixmap speakerPixmap(int size, bool muted) {
    QPixmap pixmap = blank(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 16.0;
    QPainterPath body;
    body.moveTo(2 * s, 6 * s);
    body.lineTo(5 * s, 6 * s);
    body.lineTo(9 * s, 2.5 * s);
    body.lineTo(9 * s, 13.5 * s);
    body.lineTo(5 * s, 10 * s);
    body.lineTo(2 * s, 10 * s);
    body.closeSubpath();
    p.setPen(QPen(Qt::black, std::max(1.0, s * 0.8)));
    p.setBrush(QColor(60, 60, 60));
    p.drawPath(body);
    if (!muted) {
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(7 * s, 5 * s, 5 * s, 6 * s), -50 * 16, 100 * 16);
        p.drawArc(QRectF(7 * s, 3 * s, 8 * s, 10 * s), -50 * 16, 100 * 16);
    } else {
        strikeThrough(p, size);
    }
    return pixmap;
}

QPixmap microphonePixmap(int size, bool muted) {
    QPixmap pixmap = blank(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 16.0;
    p.setPen(QPen(Qt::black, std::max(1.0, s * 0.8)));
    p.setBrush(QColor(60, 60, 60));
    p.drawRoundedRect(QRectF(6 * s, 1.5 * s, 4 * s, 8 * s), 2 * s, 2 * s);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(4 * s, 4 * s, 8 * s, 8 * s), 180 * 16, 180 * 16);
    p.drawLine(QPointF(8 * s, 12 * s), QPointF(8 * s, 14.5 * s));
    p.drawLine(QPointF(5.5 * s, 14.5 * s), QPointF(10.5 * s, 14.5 * s));
    if (muted) strikeThrough(p, size);
    return pixmap;
}

}  // namespace ambrel
