#include "app/LevelMeter.h"

#include <QPainter>
#include <algorithm>

namespace ambrel {

LevelMeter::LevelMeter(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
}

void LevelMeter::setLevel(int level) {
    level = std::clamp(level, 0, 100);
    if (level == level_) return;
    level_ = level;
    update();
}

void LevelMeter::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QRect inside = contentsRect().adjusted(2, 2, -2, -2);
    if (inside.isEmpty()) return;
    QPainter p(this);
    p.fillRect(inside, QColor(30, 50, 30));
    int height = inside.height() * level_ / 100;
    if (height <= 0) return;
    // Green, turning yellow then red near full scale.
    QLinearGradient gradient(inside.bottomLeft(), inside.topLeft());
    gradient.setColorAt(0.0, QColor(40, 200, 40));
    gradient.setColorAt(0.7, QColor(220, 220, 40));
    gradient.setColorAt(1.0, QColor(230, 40, 40));
    p.fillRect(QRect(inside.left(), inside.bottom() - height + 1, inside.width(), height), gradient);
}

}  // namespace ambrel
