#include "app/MainWindow.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTextBrowser>
#include <cmath>

#include "app/FittedLabel.h"
#include "app/LevelMeter.h"
#include "app/Look.h"
#include "app/MixerFader.h"
#include "platform/MixerDevice.h"

#ifdef AMBREL_HAVE_ABOUT
#include "app/AboutDialog.h"
#include "app/BannerView.h"
#include "app/FindComputerDialog.h"
#include "app/HelpText.h"
#endif
#ifdef AMBREL_HAVE_CONTACTS
#include "app/AddressBookDialog.h"
#endif

namespace ambrel {

namespace {

constexpr int kDialogWidth = 200;   // dialog units
constexpr int kDialogHeight = 207;
constexpr int kMuteIconSize = 16;   // pixels

// A label whose text is wider than its place (fonts differ in their ratio of
// text width to average character width) gets a smaller font, down to 6 pt,
// rather than losing letters.
void fitText(QLabel* label) {
    QFont font = label->font();
    while (QFontMetrics(font).horizontalAdvance(label->text()) > label->width() && font.pointSizeF() > 6.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    label->setFont(font);
}

QPushButton* button(QWidget* parent, const char* name, const QString& text, const QString& tip) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setToolTip(tip);
    b->setAutoDefault(false);
    return b;
}

}  // namespace

MainWindow::MainWindow(const AppSettings& settings, std::unique_ptr<VoiceLink> link, MixerDevice* mixer,
                       QObject* levelReceiver, CallController::LinkStarter starter, QWidget* parent)
    : QDialog(parent), settings_(settings), mixer_(mixer) {
    controller_ = std::make_unique<CallController>(settings, std::move(link), *this, levelReceiver, std::move(starter));
    setWindowTitle("Ambrel");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    // Dialog base units from the font: the average width of the 52 letters
    // (rounded as the classic dialog manager does) and the line height.
    QFontMetrics metrics(font());
    int letters = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = std::max(1, (letters / 26 + 1) / 2);
    baseY_ = std::max(1, metrics.height());
    setFixedSize(dialogRect(0, 0, kDialogWidth, kDialogHeight).size());

    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kFaceColour);
    palette.setColor(QPalette::Button, kFaceColour);
    setPalette(palette);
    setAutoFillBackground(true);

    portErrorSink = [this](const QString& text) { QMessageBox::warning(this, "Ambrel", text); };
    buildControls();
}

MainWindow::~MainWindow() {
    // Stop the link before the controls it reports to go away.
    controller_->shutdown();
}

QRect MainWindow::dialogRect(int x, int y, int w, int h) const {
    auto px = [this](int du) { return static_cast<int>(std::lround(du * baseX_ / 4.0)); };
    auto py = [this](int du) { return static_cast<int>(std::lround(du * baseY_ / 8.0)); };
    return QRect(px(x), py(y), px(w), py(h));
}

void MainWindow::buildControls() {
    auto place = [this](QWidget* w, int x, int y, int width, int height) { w->setGeometry(dialogRect(x, y, width, height)); };

    hostLabel_ = new QLabel("Computer name or IP address", this);
    hostLabel_->setObjectName("hostLabel");
    place(hostLabel_, 3, 7, 94, 8);
    portLabel_ = new QLabel("Port", this);
    portLabel_->setObjectName("portLabel");
    place(portLabel_, 106, 7, 14, 8);
    fitText(hostLabel_);
    fitText(portLabel_);

    host_ = new QLineEdit(this);
    host_->setObjectName("host");
    place(host_, 3, 18, 87, 14);
    browse_ = button(this, "browse", "...", "Browse the local network for computers");
    place(browse_, 66, 18, 17, 14);
    browse_->hide();
    port_ = new QLineEdit(this);
    port_->setObjectName("port");
    port_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    port_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,9}"), port_));
    place(port_, 91, 18, 33, 14);
    addressBook_ = button(this, "addressBook", "...", "Address book");
    // "..." and "?" have no letter to underline: keys of their own.
    addressBook_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_A));
    place(addressBook_, 125, 18, 15, 14);
    exit_ = button(this, "exit", "E&xit", "Close the application");
    place(exit_, 147, 18, 50, 14);
    connect_ = button(this, "connect", "&Connect", "Connect to the specified host");
    place(connect_, 3, 34, 50, 14);
    listen_ = button(this, "listen", "&Listen", "Listen for an incoming connection");
    place(listen_, 55, 34, 50, 14);
    disconnect_ = button(this, "disconnect", "&Disconnect", "Close the connection");
    place(disconnect_, 147, 34, 50, 14);

    speakers_ = new CMixerFader(this);
    speakers_->setObjectName("speakers");
    place(speakers_, 40, 55, 12, 58);
    meterFrame_ = new QFrame(this);
    meterFrame_->setObjectName("meterFrame");
    meterFrame_->setFrameStyle(QFrame::Box | QFrame::Sunken);
    place(meterFrame_, 55, 62, 82, 44);
    playMeter_ = new LevelMeter(this);
    playMeter_->setObjectName("playMeter");
    place(playMeter_, 62, 62, 28, 44);
    recordMeter_ = new LevelMeter(this);
    recordMeter_->setObjectName("recordMeter");
    place(recordMeter_, 102, 62, 28, 44);
    microphone_ = new CMixerFader(this);
    microphone_->setObjectName("microphone");
    place(microphone_, 141, 55, 12, 58);

    muteSpeakers_ = button(this, "muteSpeakers", QString(), "Mute Speakers");
    muteSpeakers_->setCheckable(true);
    place(muteSpeakers_, 61, 110, 15, 15);
    muteMicrophone_ = button(this, "muteMicrophone", QString(), "Mute Microphone");
    muteMicrophone_->setCheckable(true);
    place(muteMicrophone_, 116, 110, 15, 15);
    help_ = button(this, "help", "?", "Help about application parameters");
    help_->setShortcut(QKeySequence(Qt::Key_F1));
    place(help_, 182, 110, 15, 14);

    status_ = new FittedLabel("Status", this);
    status_->setObjectName("status");
    status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    place(status_, 3, 127, 95, 12);
    codec_ = new FittedLabel("Codec", this);
    codec_->setObjectName("codec");
    codec_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    place(codec_, 102, 127, 95, 12);

#ifdef AMBREL_HAVE_ABOUT
    auto* banner = new BannerView(this);
    banner->setBannerServer(QString::fromStdString(settings_.bannerServer));
#else
    auto* banner = new QTextBrowser(this);
#endif
    banner->setObjectName("banner");
    QPalette bannerPalette = banner->palette();
    bannerPalette.setColor(QPalette::Base, kFaceColour);
    banner->setPalette(bannerPalette);
    banner->setFrameStyle(QFrame::NoFrame);
    banner->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    banner->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    banner_ = banner;
    place(banner_, 3, 141, 194, 62);

    QObject::connect(connect_, &QPushButton::clicked, this, [this] { controller_->connectToPeer(); });
    QObject::connect(listen_, &QPushButton::clicked, this, [this] { controller_->listenForPeer(); });
    QObject::connect(disconnect_, &QPushButton::clicked, this, [this] { controller_->disconnectCall(); });
    QObject::connect(exit_, &QPushButton::clicked, this, [this] { exitProgram(); });
    QObject::connect(muteSpeakers_, &QPushButton::clicked, this,
                     [this](bool checked) { controller_->setSpeakersMuted(checked); });
    QObject::connect(muteMicrophone_, &QPushButton::clicked, this,
                     [this](bool checked) { controller_->setMicrophoneMuted(checked); });
    QObject::connect(help_, &QPushButton::clicked, this, [this] { showAbout(); });
    QObject::connect(addressBook_, &QPushButton::clicked, this, [this] { showAddressBook(); });
    QObject::connect(browse_, &QPushButton::clicked, this, [this] { browseComputers(); });
}

void MainWindow::initialize() {
    setWindowIcon(appIcon());
    playMeter_->setLevel(1);
    recordMeter_->setLevel(1);
    status_->setText(" ");
    // With a key file every call is sealed.
    codec_->setText(QString::fromStdString("codec: " + settings_.codecLabel +
                                           (settings_.keyFile.empty() ? "" : ", sealed")));
    for (QLabel* label : std::initializer_list<QLabel*>{status_, codec_, hostLabel_, portLabel_}) {
        QPalette p = label->palette();
        p.setColor(QPalette::Window, kFaceColour);
        label->setPalette(p);
    }
    // Speakers: the destination line itself; microphone: its source line of
    // the recording destination.
    speakers_->bind(mixer_, kMixerDestinationSpeakers, kMixerSourceNone, kMixerControlVolume, CMixerBase::kMain);
    microphone_->bind(mixer_, kMixerDestinationWaveIn, kMixerSourceMicrophone, kMixerControlVolume,
                      CMixerBase::kMain);
    controller_->initialize();
}

void MainWindow::setLevels(int recording, int playing) {
    recordMeter_->setLevel(recording);
    playMeter_->setLevel(playing);
    // The playback counters of the call, for whoever hovers over the meters.
    const QString tip = QString::fromStdString(describePlayout(controller_->link().playbackStats()) + "\n" +
                                               describeVoice(controller_->link().voiceStats()));
    playMeter_->setToolTip(tip);
    recordMeter_->setToolTip(tip);
}

void MainWindow::showStatus(const std::string& text) { status_->setText(QString::fromStdString(text)); }

void MainWindow::showSoundProblem(const std::string& why) { status_->setDetail(QString::fromStdString(why)); }

void MainWindow::setCallButtons(bool connect, bool listen, bool disconnect) {
    connect_->setEnabled(connect);
    listen_->setEnabled(listen);
    disconnect_->setEnabled(disconnect);
    // Idle: nothing plays any more, so the play meter must not keep the
    // last level of the call.
    if (!disconnect) playMeter_->setLevel(1);
}

void MainWindow::enterOneToManyMode() {
    port_->setEnabled(false);
    host_->setEnabled(false);
    addressBook_->setEnabled(false);
    listen_->setEnabled(false);
}

void MainWindow::showMuteStates(bool speakersMuted, bool microphoneMuted) {
    muteSpeakers_->setChecked(speakersMuted);
    muteMicrophone_->setChecked(microphoneMuted);
    int size = std::min(muteSpeakers_->width(), muteSpeakers_->height()) - 4;
    size = std::max(size, kMuteIconSize);
    muteSpeakers_->setIcon(speakerPixmap(size, speakersMuted));
    muteSpeakers_->setIconSize(QSize(size, size));
    muteMicrophone_->setIcon(microphonePixmap(size, microphoneMuted));
    muteMicrophone_->setIconSize(QSize(size, size));
    // Tests and accessibility read the state from the name too.
    muteSpeakers_->setAccessibleName(speakersMuted ? "Speakers muted" : "Speakers on");
    muteMicrophone_->setAccessibleName(microphoneMuted ? "Microphone muted" : "Microphone on");
}

void MainWindow::setHostAndPort(const std::string& host, int port) {
    host_->setText(QString::fromStdString(host));
    port_->setText(QString::number(port));
}

std::string MainWindow::hostText() { return host_->text().trimmed().toStdString(); }

std::optional<int> MainWindow::portValue() {
    bool ok = false;
    int port = port_->text().trimmed().toInt(&ok);
    if (!ok || port < 0 || port > 65535) {
        if (portErrorSink) portErrorSink(QString("Please enter an integer between %1 and %2.").arg(0).arg(65535));
        port_->setFocus();
        port_->selectAll();
        return std::nullopt;
    }
    return port;
}

void MainWindow::showAbout() {
#ifdef AMBREL_HAVE_ABOUT
    AboutDialog about(QString::fromUtf8(helpText().data(), static_cast<qsizetype>(helpText().size())),
                      QString::fromStdString(settings_.versionText), QString::fromStdString(settings_.buildLabel),
                      this);
    about.exec();
#endif
}

void MainWindow::showAddressBook() {
#ifdef AMBREL_HAVE_CONTACTS
    AddressBookDialog book(this);
    book.setChosenHost(host_->text());
    bool ok = false;
    int port = port_->text().toInt(&ok);
    book.setChosenPort(ok ? port : settings_.port);
#ifdef AMBREL_HAVE_ABOUT
    book.setFindComputerHandler(&FindComputerDialog::findComputer);
#endif
    if (book.exec() == QDialog::Accepted) {
        host_->setText(book.chosenHost());
        port_->setText(QString::number(book.chosenPort()));
    }
#endif
}

void MainWindow::browseComputers() {
#ifdef AMBREL_HAVE_ABOUT
    QString host = FindComputerDialog::findComputer(this);
    if (!host.isEmpty()) host_->setText(host);
#endif
}

void MainWindow::exitProgram() {
    if (closing_) return;
    closing_ = true;
    controller_->shutdown();
    accept();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    exitProgram();
    event->accept();
}

void MainWindow::reject() { exitProgram(); }

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Escape would end the program and its call at a stray key press: only
    // Exit and closing the window do that.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    // The parts of the voice processing, switched for as long as the
    // program runs (the command line's --no-... options set the start).
    const std::pair<const char*, unsigned> parts[] = {{"&Echo cancellation", kVoiceEchoCancel},
                                                      {"&Noise suppression", kVoiceNoiseSuppression},
                                                      {"&Gain control", kVoiceGainControl}};
    for (const auto& [label, bit] : parts) {
        QAction* action = menu.addAction(label);
        action->setCheckable(true);
        action->setChecked((voiceFeatures_ & bit) != 0);
        connect(action, &QAction::toggled, this, [this, bit = bit](bool on) { setVoiceFeature(bit, on); });
    }
    menu.addSeparator();
    menu.addAction("&About Ambrel...", this, [this] { showAbout(); });
    menu.exec(event->globalPos());
}

void MainWindow::setVoiceFeature(unsigned feature, bool on) {
    voiceFeatures_ = on ? voiceFeatures_ | feature : voiceFeatures_ & ~feature;
    controller_->link().audio().setVoiceFeatures(voiceFeatures_);
}

void MainWindow::paintEvent(QPaintEvent* event) {
    // The background is the face colour everywhere (also behind the banner).
    QPainter p(this);
    p.fillRect(rect(), kFaceColour);
    QDialog::paintEvent(event);
}

}  // namespace ambrel
