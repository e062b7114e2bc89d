#include "app/MixerFader.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <QPainter>
#include <QStyleOptionSlider>

#include "app/Look.h"

namespace ambrel {

namespace {
// Why a slider stayed disabled, for a debug trace only:
// QT_LOGGING_RULES="ambrel.mixer.debug=true".
Q_LOGGING_CATEGORY(mixerTrace, "ambrel.mixer", QtInfoMsg)
}  // namespace

CMixerFader::CMixerFader(QWidget* parent) : QSlider(Qt::Vertical, parent), face_(kFaceColour), highlight_(kHighlightColour) {
    // Position 0 at the top, like the mixer binding's inverted positions.
    setInvertedAppearance(true);
    setInvertedControls(true);
    setTickPosition(QSlider::NoTicks);
    setEnabled(false);
    connect(this, &QSlider::valueChanged, this, &CMixerFader::onValueChanged);
}

CMixerFader::~CMixerFader() { unbind(); }

void CMixerFader::unbind() {
    if (device_ && listener_) device_->removeChangeListener(listener_);
    listener_ = 0;
    device_ = nullptr;
    mixer_.close();
    setEnabled(false);
}

bool CMixerFader::bind(MixerDevice* device, uint32_t destinationType, uint32_t sourceType, uint32_t controlType,
                       int faderKind) {
    unbind();
    if (!mixer_.bind(device, destinationType, sourceType, controlType, faderKind)) {
        qCDebug(mixerTrace, "%s", mixer_.diagnostic().c_str());
        return false;
    }
    device_ = device;
    following_ = true;
    setRange(0, mixer_.steps());
    setPageStep(std::max(1, mixer_.steps() / 10));
    following_ = false;
    showPosition();
    // The listener runs on the mixer's thread: it only queues a call to this
    // thread. unbind() removes it (waiting for a call in progress) before the
    // slider goes away, and Qt drops queued calls to a destroyed slider.
    CMixerFader* fader = this;
    listener_ = device->addChangeListener([fader](uint32_t controlId) {
        QMetaObject::invokeMethod(fader, [fader, controlId] { fader->onMixerChanged(controlId); },
                                  Qt::QueuedConnection);
    });
    setEnabled(true);
    return true;
}

void CMixerFader::onMixerChanged(uint32_t controlId) {
    if (device_ && controlId == mixer_.controlId()) showPosition();
}

void CMixerFader::showPosition() {
    auto position = mixer_.readPosition();
    if (!position) return;
    following_ = true;
    setValue(mixer_.steps() - *position);
    following_ = false;
}

void CMixerFader::onValueChanged(int value) {
    if (following_ || !device_) return;
    mixer_.writePosition(mixer_.steps() - value);
}

void CMixerFader::setColours(const QColor& face, const QColor& highlight) {
    face_ = face;
    highlight_ = highlight;
    update();
}

void CMixerFader::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QStyleOptionSlider option;
    initStyleOption(&option);
    QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    p.fillRect(rect(), face_);

    // The channel: a narrow sunken groove down the middle.
    int x = width() / 2;
    QRect channel(x - 2, 4, 4, height() - 8);
    p.fillRect(channel, isEnabled() ? shade(face_, -50) : shade(face_, -20));
    p.setPen(shade(face_, -50));
    p.drawLine(channel.topLeft(), channel.topRight());
    p.drawLine(channel.topLeft(), channel.bottomLeft());
    p.setPen(shade(face_, 50));
    p.drawLine(channel.bottomLeft(), channel.bottomRight());
    p.drawLine(channel.topRight(), channel.bottomRight());

    // The thumb: highlight face, bright upper-left and dark lower-right edges.
    QRect thumb(1, handle.center().y() - 4, width() - 2, 9);
    p.fillRect(thumb, isEnabled() ? highlight_ : face_);
    p.setPen(shade(highlight_, 50));
    p.drawLine(thumb.topLeft(), thumb.topRight());
    p.drawLine(thumb.topLeft(), thumb.bottomLeft());
    p.setPen(shade(highlight_, -50));
    p.drawLine(thumb.bottomLeft(), thumb.bottomRight());
    p.drawLine(thumb.topRight(), thumb.bottomRight());
    if (hasFocus()) {
        p.setPen(QPen(shade(face_, -80), 1, Qt::DotLine));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

}  // namespace ambrel
