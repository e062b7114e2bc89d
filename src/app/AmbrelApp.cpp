#include "app/AmbrelApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "app/CallController.h"
#include "app/CommandLine.h"
#include "app/HeadlessView.h"
#include "app/HelpText.h"
#include "app/MainWindow.h"
#include "audio/AudioEngine.h"
#include "audio/ErrorReporter.h"
#include "base/Text.h"
#include "link/Socket.h"
#include "platform/AlsaBackend.h"
#include "platform/AlsaMixer.h"
#include "platform/FileBackend.h"
#include "platform/PulseMixer.h"
#include "platform/SoundDevice.h"

#ifdef AMBREL_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace ambrel {

bool AmbrelApp::event(QEvent* event) {
    if (static_cast<int>(event->type()) == WM_LEVELS) {
        auto* levels = static_cast<LevelsEvent*>(event);
        if (mainWindow_) mainWindow_->setLevels(std::max(levels->input, 1), std::max(levels->output, 1));
        return true;
    }
    return QObject::event(event);
}

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

std::string unusableDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const bool chosen = platform && *platform;
    if (chosen && std::string_view(platform).substr(0, 3) != "xcb") return {};
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return {};
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!chosen && wayland && *wayland) return {};
#ifdef AMBREL_HAVE_XCB
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    if (failed) return "cannot open the display '" + std::string(display) + "'";
#endif
    return {};
}

namespace {

// Device errors in the window: a message box, shown from the window's thread.
class WindowErrorReporter : public ErrorReporter {
public:
    void setWindow(QWidget* window) { window_.store(window); }
    // Sound threads.
    void reportSoundError(const std::string& line) override {
        QWidget* window = window_.load();
        if (!window) {
            std::fprintf(stderr, "ambrel: %s\n", line.c_str());
            return;
        }
        QString text = QString::fromStdString(line);
        QMetaObject::invokeMethod(window, [window, text] {
            auto* box = new QMessageBox(QMessageBox::Warning, "Ambrel", text, QMessageBox::Ok, window);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->show();
        }, Qt::QueuedConnection);
    }

private:
    std::atomic<QWidget*> window_{nullptr};
};

// Device errors without a window: one line on standard error. Sound threads.
// Nobody can pick another device in headless mode, so the first error also
// ends the program (exit status 1) once a failure handler is set.
class StderrErrorReporter : public ErrorReporter {
public:
    // `fail` runs on the thread of `context` (the main thread).
    // Main thread, before the sound starts.
    void setFailureHandler(QObject* context, std::function<void()> fail) {
        fail_ = std::move(fail);
        context_.store(context);
    }
    // Main thread, before the sound starts: a copy that only sends (its
    // speakers muted for good) goes on without its playing device.
    void setPlayerUnused(bool unused) { playerUnused_.store(unused); }
    void reportSoundError(const std::string& line) override {
        std::fprintf(stderr, "ambrel: %s\n", line.c_str());
        std::fflush(stderr);
        if (playerUnused_.load() && line.starts_with("PLAY")) return;
        QObject* context = context_.load();
        if (context && !failed_.exchange(true)) QMetaObject::invokeMethod(context, fail_, Qt::QueuedConnection);
    }

private:
    std::atomic<QObject*> context_{nullptr};
    std::function<void()> fail_;  // written before context_, only read after it
    std::atomic<bool> failed_{false};
    std::atomic<bool> playerUnused_{false};
};

// Why a listen on the UDP port fails, in the system's words.
std::string listenProblem(int port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const int err = errno;
    ::close(fd);
    return bound ? std::string("the port could not be opened") : std::strerror(err);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "ambrel: %s\n%s\nTry 'ambrel --help' for more information.\n", message.c_str(),
                 std::string(usageLine()).c_str());
    return 2;
}

// The number the engine and the link take for a device ref.
int deviceIndex(SoundSystem& sound, const SoundDeviceRef& ref) {
    if (ref.backend.empty() && ref.name.empty()) return ref.number;
    return sound.alias(ref);
}

bool isFile(const SoundDeviceRef& ref) { return ref.backend == "file"; }
bool isAlsa(const SoundDeviceRef& ref) { return ref.backend == "alsa"; }
bool needsNoServer(const SoundDeviceRef& ref) { return isFile(ref) || isAlsa(ref); }

// The sound server's own default device (no number, no name).
bool isServerDefault(const SoundDeviceRef& ref) {
    return ref.backend.empty() && ref.name.empty() && ref.number <= 0;
}

// Without a sound server, the devices left at the default become ALSA's
// "default" PCM, if it opens for every direction in use. Returns ALSA's
// error otherwise (nothing is changed then).
std::string useAlsaDefaults(AppSettings& settings) {
    const bool record = settings.sendEnabled && isServerDefault(settings.recordDevice);
    const bool play = settings.playEnabled && settings.destinations.empty() && isServerDefault(settings.playDevice);
    if (record)
        if (SoundError e = probeAlsaDevice("default", true)) return e.text;
    if (play)
        if (SoundError e = probeAlsaDevice("default", false)) return e.text;
    if (isServerDefault(settings.recordDevice)) settings.recordDevice = SoundDeviceRef::named("default", "alsa");
    if (isServerDefault(settings.playDevice)) settings.playDevice = SoundDeviceRef::named("default", "alsa");
    return {};
}

// The PCM an ALSA device ref opens ("default" for a number).
std::string alsaPcm(const SoundDeviceRef& ref) { return isAlsa(ref) && !ref.name.empty() ? ref.name : "default"; }

// Why the sound cannot start without a server; `alsaProblem` is why ALSA's
// default device could not stand in (empty: not tried).
std::string noServerText(const SoundError& error, const std::string& alsaProblem = {}) {
    return "no sound server is reachable (" + error.text + ")" +
           (alsaProblem.empty() ? "" : " and ALSA's default device fails (" + alsaProblem + ")") +
           "; use -i:alsa:NAME and -o:alsa:NAME for ALSA devices (see --list-devices), or "
           "--record-file PATH and --play-file PATH to record from and play into WAV files";
}

struct SocketLayer {
    SocketLayer() { socketStartup(); }
    ~SocketLayer() {
        try {
            socketCleanup();
        } catch (const Exception&) {
        }
    }
};

}  // namespace

int AmbrelApp::main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    AppSettings defaults;
    defaults.buildLabel = buildLabelFromCompilerDate(__DATE__);

    std::unique_ptr<SocketLayer> sockets;
    try {
        sockets = std::make_unique<SocketLayer>();
    } catch (const Exception&) {
        std::fprintf(stderr, "ambrel: Windows sockets initialization failed.\n");
        return 1;
    }

    ParseResult parsed = parseCommandLine(args, defaults);
    if (parsed.error) return usageError(parsed.error->message);
    CommandLine& line = *parsed.commandLine;
    if (line.showHelp) {
        std::fwrite(helpText().data(), 1, helpText().size(), stdout);
        return 0;
    }
    if (line.showVersion) {
        std::printf("Ambrel %s (build %s)\n", line.settings.versionText.c_str(), line.settings.buildLabel.c_str());
        return 0;
    }
    // Key files: a problem is one line and exit code 2, before anything starts.
    std::string keyError;
    if (!line.genKeyPath.empty()) {
        if (!DatagramGuard::writeNewKey(line.genKeyPath, keyError)) {
            std::fprintf(stderr, "ambrel: %s\n", keyError.c_str());
            return 2;
        }
        std::printf("New key written to %s\n", line.genKeyPath.c_str());
        return 0;
    }
    // The key waits for its guard in locked memory that core dumps leave
    // out, and is wiped on every way out.
    LockedKey key;
    if (!line.settings.keyFile.empty() && !DatagramGuard::loadKey(line.settings.keyFile, key.key(), keyError)) {
        std::fprintf(stderr, "ambrel: %s\n", keyError.c_str());
        return 2;
    }
    if (!line.settings.keyFile.empty() && !line.settings.destinations.empty()) {
        // A sealed call's keys come from a handshake with its one peer.
        std::fprintf(stderr, "ambrel: --key-file cannot seal one-to-many sending: each call needs its one peer\n");
        return 2;
    }

    std::unique_ptr<SoundSystem> sound = makeStandardSoundSystem();
    if (line.listDevices) {
        std::string text = formatDeviceList(*sound);
        std::fwrite(text.data(), 1, text.size(), stdout);
        SoundError error, alsaError;
        sound->listInputs(error);
        SoundBackend* alsa = sound->backend("alsa");
        const bool alsaListed = alsa && !alsa->listOutputs(alsaError).empty();
        return error.ok() || alsaListed ? 0 : 1;
    }

    AppSettings& settings = line.settings;
    // Devices are checked against the server's lists when it answers; files
    // need no server at all.
    SoundError inputError, outputError;
    std::vector<SoundDeviceInfo> inputs, outputs;
    auto needServer = [&settings] {
        return (settings.sendEnabled && !needsNoServer(settings.recordDevice)) ||
               (settings.playEnabled && settings.destinations.empty() && !needsNoServer(settings.playDevice));
    };
    if (!needsNoServer(settings.recordDevice) || !needsNoServer(settings.playDevice)) {
        inputs = sound->listInputs(inputError);
        outputs = sound->listOutputs(outputError);
    }
    bool listed = inputError.ok() && outputError.ok();
    if (auto error = checkDevices(settings, listed ? &inputs : nullptr, listed ? &outputs : nullptr))
        return usageError(error->message);
    // File devices: a problem is one line before anything starts. An
    // unusable file ends with exit status 1 as a device that does not open;
    // options that contradict each other are a usage error.
    if (isFile(settings.recordDevice) && settings.sendEnabled) {
        if (FileProblem problem = checkRecordingFile(settings.recordDevice.name)) {
            if (problem.kind == FileProblem::kUnreadable) return usageError(problem.text);
            std::fprintf(stderr, "ambrel: %s\n", problem.text.c_str());
            return 1;
        }
    }
    if (isFile(settings.playDevice) && settings.playEnabled && settings.destinations.empty()) {
        const std::string recording = isFile(settings.recordDevice) ? settings.recordDevice.name : std::string();
        if (FileProblem problem = checkPlayingFile(settings.playDevice.name, recording, line.overwrite)) {
            if (problem.kind == FileProblem::kConflict) return usageError(problem.text);
            std::fprintf(stderr, "ambrel: %s\n", problem.text.c_str());
            return 1;
        }
    }
    std::string soundProblem;
    if (needServer() && inputError.code == SoundErrorCode::NoServer) {
        const std::string alsaProblem = useAlsaDefaults(settings);
        if (!needServer())
            std::fprintf(stderr, "ambrel: no sound server is reachable (%s); using ALSA's default device\n",
                         inputError.text.c_str());
        else
            soundProblem = noServerText(inputError, alsaProblem);
    }
    settings.recordingDeviceIndex = deviceIndex(*sound, settings.recordDevice);
    settings.playingDeviceIndex = deviceIndex(*sound, settings.playDevice);

    // A display that cannot hold a window means headless mode, as no display does.
    const std::string displayProblem = line.headless || !hasDisplay() ? std::string() : unusableDisplay();
    bool headless = line.headless || !hasDisplay() || !displayProblem.empty();
    // Without a window nobody can press Connect or Listen.
    if (headless && !settings.autoConnect && !settings.autoListen) {
        if (displayProblem.empty()) return usageError("without a window, give -l:port:yes or -c:host:port:yes");
        std::fprintf(stderr, "ambrel: %s; without a window, give -l:port:yes or -c:host:port:yes\n",
                     displayProblem.c_str());
        return 2;
    }
    if (!displayProblem.empty()) std::fprintf(stderr, "ambrel: %s; running without a window\n", displayProblem.c_str());
    std::unique_ptr<QCoreApplication> qt;
    if (headless)
        qt = std::make_unique<QCoreApplication>(argc, argv);
    else
        qt = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName("Ambrel");
    QCoreApplication::setApplicationVersion(QString::fromStdString(settings.versionText));

    AmbrelApp app(settings);
    WindowErrorReporter windowReporter;
    StderrErrorReporter stderrReporter;
    ErrorReporter* reporter = headless ? static_cast<ErrorReporter*>(&stderrReporter) : &windowReporter;

    auto engine = std::make_unique<AudioEngine>(*sound, reporter);
    engine->setCodec(settings.codecId);
    engine->setRecordDevice(settings.recordingDeviceIndex);
    engine->setVoiceFeatures(settings.voiceFeatures);
    auto link = std::make_unique<VoiceLink>(std::move(engine));
    link->guard().setAllowList(settings.allowList);
    link->guard().setLockPeer(settings.lockPeer);
    if (!settings.keyFile.empty()) link->guard().setKey(key.key());
    key.wipe();
    // The first start uses what the lists above found; a later one (Connect or
    // Listen after a failed start) asks the sound server again.
    auto problem = std::make_shared<std::string>(soundProblem);
    CallController::LinkStarter starter = [problem, headless, needServer, &sound,
                                           first = true](VoiceLink& voiceLink) mutable {
        if (!first) {
            SoundError error;
            if (needServer()) sound->listInputs(error);
            *problem = error.code == SoundErrorCode::NoServer ? noServerText(error) : std::string();
        }
        first = false;
        if (!problem->empty()) {
            if (headless) std::fprintf(stderr, "ambrel: %s\n", problem->c_str());
            throw SoundStartException();
        }
        voiceLink.create();
        voiceLink.start();
    };
    CallController::SoundDiagnosis diagnosis = [problem] { return *problem; };

    int code = 0;
    if (headless) {
        HeadlessView view;
        // No meters to show the levels on: none are posted.
        CallController controller(settings, std::move(link), view, nullptr, starter);
        controller.setSoundDiagnosis(diagnosis);
        // What an unattended copy cannot get past ends it with status 1.
        auto fail = [&controller](const std::string& why) {
            std::fprintf(stderr, "ambrel: %s\n", why.c_str());
            std::fflush(stderr);
            // From the event loop: this may come before it runs.
            QMetaObject::invokeMethod(&controller, [&controller] {
                controller.shutdown();
                QCoreApplication::exit(1);
            }, Qt::QueuedConnection);
        };
        stderrReporter.setPlayerUnused(!settings.playEnabled);
        stderrReporter.setFailureHandler(&controller, [fail] { fail("stopping: the sound device cannot be used"); });
        view.onFailure = [fail, &settings, &controller](const std::string& status) {
            if (status.find("listen") != std::string::npos) {
                fail("cannot listen on UDP port " + std::to_string(settings.port) + " (" + listenProblem(settings.port) +
                     ")");
                return;
            }
            // An address, or a name that was found: the connect itself failed.
            if (!controller.dialled().empty())
                fail("cannot connect to " + controller.dialled());
            else
                fail("cannot find the host " + quoted(settings.host, 256));
        };
        // A listen on port 0 gets its port from the system: say which.
        if (settings.autoListen && settings.port == 0) {
            QObject::connect(&controller, &CallController::statusChanged, &controller,
                             [&controller, named = false](const QString& text) mutable {
                                 if (named || text != QLatin1String("Listening...")) return;
                                 named = true;
                                 std::printf("Listening on UDP port %d.\n", controller.link().localPort());
                                 std::fflush(stdout);
                             });
        }
        TerminationWatch watch;
        QObject::connect(&watch, &TerminationWatch::terminationRequested, &controller, [&controller] {
            controller.hangUpAndShutdown();
            QCoreApplication::quit();
        });
        QTimer stats;
        if (line.statsSeconds > 0) {
            QObject::connect(&stats, &QTimer::timeout, &controller, [&controller] {
                std::printf("stats: %s %s\n", describePlayout(controller.link().playbackStats()).c_str(),
                            describeVoice(controller.link().voiceStats()).c_str());
                std::fflush(stdout);
            });
            stats.start(line.statsSeconds * 1000);
        }
        controller.initialize();
        // Without sound there is nothing this copy can do unattended.
        code = controller.started() ? QCoreApplication::exec() : 1;
        controller.shutdown();
    } else {
        // The sliders move the mixer of the devices' cards when they are ALSA
        // ones, else the sound server's.
        std::string mixerError;
        std::unique_ptr<MixerDevice> mixer;
        if (isAlsa(settings.recordDevice) || isAlsa(settings.playDevice))
            mixer = AlsaMixer::open(alsaControlName(alsaPcm(settings.playDevice)),
                                    alsaControlName(alsaPcm(settings.recordDevice)), &mixerError);
        else
            mixer = PulseMixer::open(&mixerError);
        {
            MainWindow window(settings, std::move(link), mixer.get(), &app, starter);
            if (!soundProblem.empty()) std::fprintf(stderr, "ambrel: %s\n", soundProblem.c_str());
            window.controller().setSoundDiagnosis(diagnosis);
            windowReporter.setWindow(&window);
            app.setMainWindow(&window);
            window.initialize();
            window.show();
            QObject::connect(&window, &QDialog::finished, qt.get(), &QCoreApplication::quit);
            // Ctrl+C in the terminal that started the window closes it properly.
            TerminationWatch watch;
            QObject::connect(&watch, &TerminationWatch::terminationRequested, &window, &QWidget::close);
            code = QCoreApplication::exec();
            app.setMainWindow(nullptr);
            windowReporter.setWindow(nullptr);
            window.controller().shutdown();
        }
        code = 0;
    }
    return code;
}

}  // namespace ambrel
