// CMixerFader: a vertical slider bound to one mixer control. Dragging it (or
// paging, or the keyboard) writes the control; a change made elsewhere moves
// it. Positions run 0 (top, loudest) .. steps (bottom), as the mixer binding
// gives them inverted. Without a mixer, or when the binding fails, it stays
// disabled. Channel and handle are drawn in the face and highlight colours.
// User-interface thread; the mixer's change events are posted to it.
#pragma once

#include <QColor>
#include <QSlider>

#include "platform/MixerBase.h"

namespace ambrel {

class CMixerFader : public QSlider {
    Q_OBJECT
public:
    explicit CMixerFader(QWidget* parent = nullptr);
    ~CMixerFader() override;

    // See CMixerBase::bind. On success the slider is enabled at the control's
    // position and follows its changes; on failure it is disabled.
    bool bind(MixerDevice* device, uint32_t destinationType, uint32_t sourceType, uint32_t controlType,
              int faderKind);
    void unbind();
    const CMixerBase& mixer() const { return mixer_; }

    void setColours(const QColor& face, const QColor& highlight);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void onMixerChanged(uint32_t controlId);
    void onValueChanged(int value);
    void showPosition();

    CMixerBase mixer_;
    MixerDevice* device_ = nullptr;
    int listener_ = 0;
    bool following_ = false;  // set while the slider follows the mixer
    QColor face_;
    QColor highlight_;
};

}  // namespace ambrel
