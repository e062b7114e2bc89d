// The logic of the main window, shared by the window and headless mode: it
// owns the one VoiceLink, runs the initialisation, the Connect / Listen /
// Disconnect / mute actions, the link notification table and the unattended
// reconnect. What it shows goes through a CallView (the window's controls, or
// lines on standard output).
//
// Threads: everything runs on the user-interface thread except the two
// LinkOwner calls, which come from the link's worker, the caller of listen
// and the recorder thread; they only post events: the link messages keep
// their numbers as QEvent types (32778 listening, 32779 connected, 32780
// disconnected) posted to this object, and the levels go to the level
// receiver as a LevelsEvent (type 32878).
#pragma once

#include <QEvent>
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/AppSettings.h"
#include "base/Exception.h"
#include "link/LinkOwner.h"
#include "link/VoiceLink.h"

namespace ambrel {

// The level message: the input (recording) and output (playing) levels,
// 0..100 (the output level is -1 without a player).
inline constexpr int WM_LEVELS = 32878;

// The sound cannot be started (thrown by a LinkStarter).
class SoundStartException : public Exception {};

class LevelsEvent : public QEvent {
public:
    LevelsEvent(int inputLevel, int outputLevel)
        : QEvent(static_cast<QEvent::Type>(WM_LEVELS)), input(inputLevel), output(outputLevel) {}
    const int input;
    const int output;
};

// What the controller needs of a front end. User-interface thread.
class CallView {
public:
    virtual ~CallView() = default;
    virtual void showStatus(const std::string& text) = 0;
    virtual void setCallButtons(bool connect, bool listen, bool disconnect) = 0;
    // One-to-many mode: host, port, address book and Listen off for good.
    virtual void enterOneToManyMode() = 0;
    virtual void showMuteStates(bool speakersMuted, bool microphoneMuted) = 0;
    virtual void setHostAndPort(const std::string& host, int port) = 0;
    virtual std::string hostText() = 0;
    // The port 0..65535, or nothing after telling the user that the text is
    // not such a number (the action is then not carried out).
    virtual std::optional<int> portValue() = 0;
    // Why the sound could not be started (empty once it runs). The status
    // line itself says "Failed to initialize Sound Card!".
    virtual void showSoundProblem(const std::string& why) { (void)why; }
    // A passing notice (datagrams ignored); by default in the status line.
    virtual void showNotice(const std::string& text) { showStatus(text); }
};

class CallController : public QObject, public LinkOwner {
    Q_OBJECT
public:
    // Starts the link's worker thread; throws an Exception when the link or
    // the sound cannot be started. The default creates and starts the thread.
    using LinkStarter = std::function<void(VoiceLink&)>;
    // Why the last start failed, in words for the user (may be empty).
    using SoundDiagnosis = std::function<std::string()>;
    // Host name -> its addresses, the system's preferred first; throws an
    // Exception when there is none. Runs on a thread of its own for each Connect to a
    // name (never on the user-interface thread: a slow name server would
    // freeze the window) and may outlive the controller. The default is the
    // socket layer's resolveAll.
    using HostResolver = std::function<std::vector<SocketAddress>(const std::string& host)>;

    // `link` must not be started yet; `levelReceiver` (may be null) gets the
    // LevelsEvents and must outlive this controller.
    CallController(const AppSettings& settings, std::unique_ptr<VoiceLink> link, CallView& view,
                   QObject* levelReceiver, LinkStarter starter = {});
    // Stops the link (see shutdown()).
    ~CallController() override;

    // The initialisation that is not drawing: buttons, host and port,
    // destinations (one-to-many mode), devices, direction and time-out to the
    // link, mute states, link start ("Failed to initialize Sound Card!" when
    // it throws), then Connect (autoConnect) or Listen (autoListen) once the
    // link runs.
    void initialize();

    // Asked after a failed start; call before initialize().
    void setSoundDiagnosis(SoundDiagnosis diagnosis) { diagnosis_ = std::move(diagnosis); }
    void setHostResolver(HostResolver resolver) { resolver_ = std::move(resolver); }

    // Both first start the link again if it has not started yet; while it
    // cannot start they only say so, as a call without it would stay silent.
    // Connect to a host name first looks it up elsewhere ("Looking up the
    // host...", only Disconnect enabled, which cancels the lookup) and
    // connects when the address arrives; an address connects at once.
    void connectToPeer();
    void listenForPeer();
    void disconnectCall();
    void setSpeakersMuted(bool muted);
    void setMicrophoneMuted(bool muted);
    bool speakersMuted() const { return speakersMuted_; }
    bool microphoneMuted() const { return microphoneMuted_; }

    // Shows what the link's guard dropped since the last report, if anything.
    // Runs every kDropReportMs while the guard has rules.
    void reportDrops();
    static std::string dropText(const DropReport& report);

    // Disconnects (twice, as the window's Exit does), stops the link's thread
    // and waits for it. Safe to call more than once.
    void shutdown();
    // shutdown() for a request to end the program (a signal): a call or a
    // listen it ends is told "Disconnected.", as a Disconnect would be.
    void hangUpAndShutdown();

    bool oneToMany() const { return oneToMany_; }
    bool started() const { return started_; }
    VoiceLink& link() { return *link_; }
    const std::string& status() const { return status_; }
    // "HOST:PORT" of the latest connect whose host was found, the host as
    // given (an IPv6 literal in brackets); empty while a name is looked up
    // and when it was not found.
    const std::string& dialled() const { return dialled_; }

    // LinkOwner: post only. Link's threads and the recorder thread.
    void postLinkMessage(int message) override;
    void reportLevels(int inputLevel, int outputLevel) override;

signals:
    // The status line changed (user-interface thread).
    void statusChanged(const QString& text);

protected:
    bool event(QEvent* event) override;

private:
    // How long a user's disconnect waits for the link's notification.
    static constexpr int kDisconnectGraceMs = 1500;
    static constexpr int kDropReportMs = 5000;

    void onLinkMessage(int message);
    void showStatus(const std::string& text);
    // Runs the starter; on failure shows why and returns false.
    bool startLink();
    void connectToAddress(const std::string& host, int port);
    void connectToAddresses(const std::string& host, const std::vector<SocketAddress>& addresses, int port);
    void cancelLookup();

    // A host lookup under way; shared with the thread doing it, which posts
    // its result to `owner` unless that was cleared (cancelled, or the
    // controller is gone).
    struct Lookup {
        std::mutex lock;
        CallController* owner = nullptr;  // guarded by lock
    };

    AppSettings settings_;
    std::unique_ptr<VoiceLink> link_;
    CallView& view_;
    QObject* levelReceiver_;
    LinkStarter starter_;
    SoundDiagnosis diagnosis_;
    HostResolver resolver_;
    std::shared_ptr<Lookup> lookup_;
    bool oneToMany_ = false;
    bool ipv4OnlySaid_ = false;  // the IPv4-only fallback is said once
    bool started_ = false;
    bool stopped_ = false;
    bool speakersMuted_ = false;
    bool microphoneMuted_ = false;
    bool awaitingDisconnect_ = false;
    std::string status_;
    std::string dialled_;  // see dialled()
};

}  // namespace ambrel
