// A vertical level meter: an etched frame with a bar that rises from the
// bottom in proportion to the level (1..100). User-interface thread.
#pragma once

#include <QFrame>

namespace ambrel {

class LevelMeter : public QFrame {
    Q_OBJECT
public:
    explicit LevelMeter(QWidget* parent = nullptr);
    // Clamped to 0..100.
    void setLevel(int level);
    int level() const { return level_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int level_ = 1;
};

}  // namespace ambrel
