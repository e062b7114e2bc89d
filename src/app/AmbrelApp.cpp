#include "app/AmbrelApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdio>
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
#include "link/Socket.h"
#include "platform/AlsaBackend.h"
#include "platform/AlsaMixer.h"
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
class StderrErrorReporter : public ErrorReporter {
public:
    void reportSoundError(const std::string& line) override {
        std::fprintf(stderr, "ambrel: %s\n", line.c_str());
        std::fflush(stderr);
    }
};

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
    GuardKey key{};
    if (!line.settings.keyFile.empty() && !DatagramGuard::loadKey(line.settings.keyFile, key, keyError)) {
        std::fprintf(stderr, "ambrel: %s\n", keyError.c_str());
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
    if (isFile(settings.recordDevice) && settings.sendEnabled) {
        std::FILE* file = std::fopen(settings.recordDevice.name.c_str(), "rb");
        if (!file) return usageError("cannot read the recording file '" + settings.recordDevice.name + "'");
        std::fclose(file);
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
    if (!settings.keyFile.empty()) link->guard().setKey(key);
    key.fill(0);
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
        TerminationWatch watch;
        QObject::connect(&watch, &TerminationWatch::terminationRequested, &controller, [&controller] {
            controller.shutdown();
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
