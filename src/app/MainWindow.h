// The program's window: host and port fields, Connect / Listen / Disconnect /
// Exit, speaker and microphone sliders bound to the mixer with mute buttons,
// two level meters, status and codec lines, help, address book and banner.
// Controls are laid out in dialog units (4 per average character width
// across, 8 per character height down) converted with the font's metrics, so
// the window keeps its proportions with any font.
//
// The call logic lives in the CallController this window owns; the window
// only draws and forwards. User-interface thread only.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

#include "app/CallController.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTextBrowser;
class QFrame;

namespace ambrel {

class CMixerFader;
class FittedLabel;
class LevelMeter;
class MixerDevice;

class MainWindow : public QDialog, public CallView {
    Q_OBJECT
public:
    // `mixer` may be null (no sound server: both sliders stay disabled) and
    // must outlive the window. See CallController for the other arguments.
    MainWindow(const AppSettings& settings, std::unique_ptr<VoiceLink> link, MixerDevice* mixer,
               QObject* levelReceiver, CallController::LinkStarter starter = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The window's initialisation (order matters: the controller starts the
    // link and may connect at once). Call once, before showing.
    void initialize();

    CallController& controller() { return *controller_; }
    // Meter values 0..100 (the application clamps them to at least 1).
    void setLevels(int recording, int playing);

    // Opens the about box, the address book, the computer browse; they do
    // nothing until those dialogs are built in.
    void showAbout();
    void showAddressBook();
    void browseComputers();

    // CallView.
    void showStatus(const std::string& text) override;
    void setCallButtons(bool connect, bool listen, bool disconnect) override;
    void enterOneToManyMode() override;
    void showMuteStates(bool speakersMuted, bool microphoneMuted) override;
    void setHostAndPort(const std::string& host, int port) override;
    std::string hostText() override;
    std::optional<int> portValue() override;
    void showSoundProblem(const std::string& why) override;

    // Dialog units to pixels for this window's font.
    QRect dialogRect(int x, int y, int w, int h) const;

    // Where a failing port text is reported; the default shows a message box.
    // Tests replace it.
    std::function<void(const QString&)> portErrorSink;

    // Switches one part of the voice processing (a VoiceFeature bit), as
    // the system menu's entries do. UI thread.
    void setVoiceFeature(unsigned feature, bool on);
    unsigned voiceFeatures() const { return voiceFeatures_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void buildControls();
    void exitProgram();

    AppSettings settings_;
    unsigned voiceFeatures_ = settings_.voiceFeatures;  // what the system menu shows
    MixerDevice* mixer_;
    std::unique_ptr<CallController> controller_;
    double baseX_ = 6;
    double baseY_ = 13;

    QLabel* hostLabel_ = nullptr;        // 1019
    QLabel* portLabel_ = nullptr;        // 1020
    QLineEdit* host_ = nullptr;          // 1000
    QPushButton* browse_ = nullptr;      // 1018
    QLineEdit* port_ = nullptr;          // 1014
    QPushButton* addressBook_ = nullptr; // 1021
    QPushButton* exit_ = nullptr;        // 1009
    QPushButton* connect_ = nullptr;     // 1001
    QPushButton* listen_ = nullptr;      // 1002
    QPushButton* disconnect_ = nullptr;  // 1010
    CMixerFader* speakers_ = nullptr;    // 1016
    QFrame* meterFrame_ = nullptr;       // 1007
    LevelMeter* playMeter_ = nullptr;    // 1004
    LevelMeter* recordMeter_ = nullptr;  // 1003
    CMixerFader* microphone_ = nullptr;  // 1017
    QPushButton* muteSpeakers_ = nullptr;    // 1005
    QPushButton* muteMicrophone_ = nullptr;  // 1006
    QPushButton* help_ = nullptr;        // 1011
    // Both lines fit any text: smaller font, then elided with a tooltip.
    FittedLabel* status_ = nullptr;      // 1008
    FittedLabel* codec_ = nullptr;       // 1012
    QWidget* banner_ = nullptr;          // 1013
    bool closing_ = false;
};

}  // namespace ambrel
