// The window's colours and the pictures it draws itself. User-interface thread.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace ambrel {

// Window background, statics, slider faces and buttons: RGB(190, 240, 190).
inline const QColor kFaceColour(190, 240, 190);
// Slider highlight: RGB(200, 255, 200).
inline const QColor kHighlightColour(200, 255, 200);

// `colour` with each component moved by delta and clamped to 0..255.
QColor shade(const QColor& colour, int delta);

// The program's icon (a green speech balloon with sound waves), `size` pixels.
QPixmap appIconPixmap(int size);
QIcon appIcon();

// The mute buttons' pictures: a speaker or a microphone, with a red stroke
// across it while muted. `size` pixels square.
QPixmap speakerPixmap(int size, bool muted);
QPixmap microphonePixmap(int size, bool muted);

}  // namespace ambrel
