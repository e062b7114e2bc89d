// A one-line label that never cuts its text off: a text wider than the label
// is drawn in a smaller font, down to kMinimumScale of the label's own font
// (and never below 6 pt), and what still does not fit is elided ("...") with
// the whole text in the label's tooltip. It works for any text, however it
// is set (setText), so the status and codec lines need nothing per message.
// text() always gives the whole text. User-interface thread.
#pragma once

#include <QFont>
#include <QLabel>
#include <QString>

namespace ambrel {

class FittedLabel : public QLabel {
    Q_OBJECT
public:
    static constexpr double kMinimumScale = 0.75;

    explicit FittedLabel(const QString& text, QWidget* parent = nullptr) : QLabel(text, parent) {}

    // An explanation shown under the text in the tooltip (empty: none), e.g.
    // why the sound could not be started.
    void setDetail(const QString& detail) { detail_ = detail; }
    QString detail() const { return detail_; }

    // What is drawn: the font and the text as it appears (elided or whole).
    QFont shownFont() const;
    QString shownText() const;
    // The tooltip: the whole text when it is elided, then the detail; empty
    // when the text is shown whole and there is no detail (then the tooltip
    // set with setToolTip, if any, is shown).
    QString fullToolTip() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    int room() const;

    QString detail_;
};

}  // namespace ambrel
