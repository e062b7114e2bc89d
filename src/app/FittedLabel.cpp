#include "app/FittedLabel.h"

#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>
#include <algorithm>

namespace ambrel {

int FittedLabel::room() const { return std::max(0, contentsRect().width() - 2 * margin()); }

QFont FittedLabel::shownFont() const {
    QFont f = font();
    const double floor = std::max(6.0, f.pointSizeF() * kMinimumScale);
    while (QFontMetrics(f).horizontalAdvance(text()) > room() && f.pointSizeF() - 0.5 >= floor)
        f.setPointSizeF(f.pointSizeF() - 0.5);
    return f;
}

QString FittedLabel::shownText() const {
    return QFontMetrics(shownFont()).elidedText(text(), Qt::ElideRight, room());
}

QString FittedLabel::fullToolTip() const {
    QString tip;
    if (shownText() != text()) tip = text();
    if (!detail_.isEmpty()) tip += (tip.isEmpty() ? "" : "\n") + detail_;
    return tip;
}

void FittedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(shownFont());
    QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, r, static_cast<int>(alignment()) | Qt::TextSingleLine, palette(), isEnabled(),
                          shownText(), foregroundRole());
}

bool FittedLabel::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        QString tip = fullToolTip();
        if (!tip.isEmpty()) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, this);
            return true;
        }
    }
    return QLabel::event(event);
}

}  // namespace ambrel
