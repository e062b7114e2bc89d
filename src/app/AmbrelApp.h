// The application object: the settings record, the start-up sequence (command
// line, socket layer, sound system, devices, then the window or headless
// mode) and the receiver of the level messages, which it forwards to the main
// window's meters. User-interface (main) thread.
#pragma once

#include <QObject>
#include <string>
#include <vector>

#include "app/AppSettings.h"

namespace ambrel {

class MainWindow;

class AmbrelApp : public QObject {
    Q_OBJECT
public:
    explicit AmbrelApp(const AppSettings& settings) : settings_(settings) {}

    const AppSettings& settings() const { return settings_; }
    // Set while the main window exists (null otherwise): levels go there.
    void setMainWindow(MainWindow* window) { mainWindow_ = window; }
    MainWindow* mainWindow() const { return mainWindow_; }

    // A LevelsEvent (WM_LEVELS): sets the recording and playing meters to
    // max(level, 1); ignored without a main window.
    bool event(QEvent* event) override;

    // The whole program: parses the command line, runs the window (or
    // headless mode) and returns the exit code (2 for a bad command line).
    static int main(int argc, char** argv);

private:
    AppSettings settings_;
    MainWindow* mainWindow_ = nullptr;
};

// Whether a graphical session is reachable: DISPLAY or WAYLAND_DISPLAY set,
// or a Qt platform chosen explicitly (QT_QPA_PLATFORM, e.g. offscreen).
bool hasDisplay();

// Why the display that DISPLAY names cannot hold a window (no X server
// answers there, or it refuses us), or empty when it can or when another
// platform is chosen (QT_QPA_PLATFORM other than xcb, or WAYLAND_DISPLAY).
// Asked before Qt starts, which would abort instead.
std::string unusableDisplay();

}  // namespace ambrel
