#include "app/AmbrelApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/CallController.h"
#include "app/CommandLine.h"
#include "app/HeadlessView.h"
#include "app/HelpText.h"
#include "app/MainWindow.h"
#include "audio/AudioEngine.h"
#include "audio/ErrorReporter.h"
#include "link/Socket.h"
#include "platform/PulseMixer.h"
#include "platform/SoundDevice.h"

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

    std::unique_ptr<SoundSystem> sound = makeStandardSoundSystem();
    if (line.listDevices) {
        std::string text = formatDeviceList(*sound);
        std::fwrite(text.data(), 1, text.size(), stdout);
        SoundError error;
        sound->listInputs(error);
        return error.ok() ? 0 : 1;
    }

    AppSettings& settings = line.settings;
    // Devices are checked against the server's lists when it answers; files
    // need no server at all.
    SoundError inputError, outputError;
    std::vector<SoundDeviceInfo> inputs, outputs;
    bool needServer = (settings.sendEnabled && !isFile(settings.recordDevice)) ||
                      (settings.playEnabled && settings.destinations.empty() && !isFile(settings.playDevice));
    if (!isFile(settings.recordDevice) || !isFile(settings.playDevice)) {
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
    settings.recordingDeviceIndex = deviceIndex(*sound, settings.recordDevice);
    settings.playingDeviceIndex = deviceIndex(*sound, settings.playDevice);
    std::string soundProblem;
    if (needServer && inputError.code == SoundErrorCode::NoServer)
        soundProblem = "no sound server is reachable (" + inputError.text +
                       "); use --record-file PATH and --play-file PATH to record from and play into WAV files";

    bool headless = line.headless || !hasDisplay();
    // Without a window nobody can press Connect or Listen.
    if (headless && !settings.autoConnect && !settings.autoListen)
        return usageError("without a window, give -l:port:yes or -c:host:port:yes");
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
    auto link = std::make_unique<VoiceLink>(std::move(engine));
    CallController::LinkStarter starter = [soundProblem, headless](VoiceLink& voiceLink) {
        if (!soundProblem.empty()) {
            if (headless) std::fprintf(stderr, "ambrel: %s\n", soundProblem.c_str());
            throw SoundStartException();
        }
        voiceLink.create();
        voiceLink.start();
    };

    int code = 0;
    if (headless) {
        HeadlessView view;
        CallController controller(settings, std::move(link), view, &app, starter);
        TerminationWatch watch;
        QObject::connect(&watch, &TerminationWatch::terminationRequested, &controller, [&controller] {
            controller.shutdown();
            QCoreApplication::quit();
        });
        QTimer stats;
        if (line.statsSeconds > 0) {
            QObject::connect(&stats, &QTimer::timeout, &controller, [&controller] {
                std::printf("stats: %s\n", describePlayout(controller.link().playbackStats()).c_str());
                std::fflush(stdout);
            });
            stats.start(line.statsSeconds * 1000);
        }
        controller.initialize();
        // Without sound there is nothing this copy can do unattended.
        code = controller.started() ? QCoreApplication::exec() : 1;
        controller.shutdown();
    } else {
        std::string mixerError;
        std::unique_ptr<PulseMixer> mixer = PulseMixer::open(&mixerError);
        {
            MainWindow window(settings, std::move(link), mixer.get(), &app, starter);
            if (!soundProblem.empty()) std::fprintf(stderr, "ambrel: %s\n", soundProblem.c_str());
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
