// The main window under Qt's offscreen platform with real links on loopback
// and a scripted audio half: Connect / Listen / Disconnect, the notification
// table, unattended reconnect, one-to-many mode, direction, start failure,
// level meters, layout.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTextBrowser>
#include <QThread>
#include <QKeyEvent>
#include <QTimer>
#include <arpa/inet.h>
#include <cstdlib>
#include <memory>

#include "app/AmbrelApp.h"
#include "app/FittedLabel.h"
#include "app/LevelMeter.h"
#include "app/MainWindow.h"
#include "app/MixerFader.h"
#include "app/app_test_support.h"
#include "audio/CodecId.h"
#include "link/LinkMessages.h"

namespace ambrel {
namespace {

using test::FakeAudio;
using test::UdpPeer;
using test::waitFor;

// A window with a scripted audio half; the link starts for real.
struct Window {
    explicit Window(AppSettings settings, CallController::LinkStarter starter = {}, int level = 0)
        : app(settings) {
        auto a = std::make_unique<FakeAudio>(level);
        audio = a.get();
        window = std::make_unique<MainWindow>(settings, std::make_unique<VoiceLink>(std::move(a)), nullptr, &app,
                                              std::move(starter));
        window->portErrorSink = [this](const QString& text) { portErrors << text; };
        app.setMainWindow(window.get());
        window->initialize();
        window->show();
    }
    ~Window() { app.setMainWindow(nullptr); }

    template <typename T>
    T* child(const char* name) {
        T* w = window->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QPushButton* button(const char* name) { return child<QPushButton>(name); }
    QString status() { return child<QLabel>("status")->text(); }
    bool buttons(bool connect, bool listen, bool disconnect) {
        return button("connect")->isEnabled() == connect && button("listen")->isEnabled() == listen &&
               button("disconnect")->isEnabled() == disconnect;
    }
    bool waitStatus(const QString& text, int ms = 10000) {
        return waitFor([&] { return status() == text; }, ms);
    }

    AmbrelApp app;
    FakeAudio* audio = nullptr;
    std::unique_ptr<MainWindow> window;
    QStringList portErrors;
};

AppSettings settingsFor(int port) {
    AppSettings s;
    s.port = port;
    return s;
}

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::qtApp(); }
};

TEST_F(WindowTest, StartsWithTheDefaultsInItsControls) {
    Window w(AppSettings{});
    EXPECT_EQ(w.window->windowTitle(), "Ambrel");
    EXPECT_EQ(w.child<QLineEdit>("host")->text(), "127.0.0.1");
    EXPECT_EQ(w.child<QLineEdit>("port")->text(), "5007");
    EXPECT_EQ(w.child<QLabel>("codec")->text(), "codec: speex 16 KHz");
    EXPECT_EQ(w.status(), " ");
    EXPECT_TRUE(w.buttons(true, true, false));
    EXPECT_FALSE(w.button("browse")->isVisible());
    EXPECT_EQ(w.button("connect")->toolTip(), "Connect to the specified host");
    EXPECT_EQ(w.button("listen")->toolTip(), "Listen for an incoming connection");
    EXPECT_EQ(w.button("disconnect")->toolTip(), "Close the connection");
    EXPECT_EQ(w.button("exit")->toolTip(), "Close the application");
    EXPECT_EQ(w.button("addressBook")->toolTip(), "Address book");
    EXPECT_EQ(w.button("browse")->toolTip(), "Browse the local network for computers");
    EXPECT_EQ(w.button("muteSpeakers")->toolTip(), "Mute Speakers");
    EXPECT_EQ(w.button("muteMicrophone")->toolTip(), "Mute Microphone");
    EXPECT_EQ(w.button("help")->toolTip(), "Help about application parameters");
    EXPECT_EQ(w.button("exit")->text(), "E&xit");
    EXPECT_FALSE(w.button("muteSpeakers")->isChecked());
    EXPECT_FALSE(w.button("muteMicrophone")->isChecked());
    EXPECT_EQ(w.window->palette().color(QPalette::Window), QColor(190, 240, 190));
    // Without a mixer both sliders stay disabled.
    EXPECT_FALSE(w.child<CMixerFader>("speakers")->isEnabled());
    EXPECT_FALSE(w.child<CMixerFader>("microphone")->isEnabled());
    EXPECT_NE(w.child<QTextBrowser>("banner"), nullptr);
    EXPECT_TRUE(w.window->controller().started());
}

TEST_F(WindowTest, SealedCallsAndIgnoredDatagramsShowInTheWindow) {
    AppSettings settings;
    settings.keyFile = "call.key";
    Window w(settings);
    EXPECT_EQ(w.child<QLabel>("codec")->text(), "codec: speex 16 KHz, sealed");
    DatagramGuard& guard = w.window->controller().link().guard();
    for (int i = 0; i < 12; ++i) guard.countDrop(SocketAddress::fromHostOrder(0x0A000009, 40000));
    guard.countDrop(SocketAddress::fromHostOrder(0x0A000008, 40000));
    w.window->controller().reportDrops();
    EXPECT_EQ(w.status(), "Ignored 13 datagrams from 10.0.0.9:40000 and 1 other address");
    w.window->controller().reportDrops();
    EXPECT_EQ(w.status(), "Ignored 13 datagrams from 10.0.0.9:40000 and 1 other address") << "nothing new: unchanged";
}

TEST_F(WindowTest, LayoutKeepsItsProportions) {
    Window w(AppSettings{});
    QRect connect = w.button("connect")->geometry();
    QRect exit = w.button("exit")->geometry();
    QRect status = w.child<QLabel>("status")->geometry();
    EXPECT_EQ(connect, w.window->dialogRect(3, 34, 50, 14));
    EXPECT_EQ(exit.width(), connect.width());
    EXPECT_LT(exit.top(), connect.top());
    EXPECT_GT(status.top(), w.button("muteSpeakers")->geometry().bottom());
    EXPECT_TRUE(w.window->rect().contains(w.child<QTextBrowser>("banner")->geometry()));
    // The screenshot of the README.
    if (const char* path = std::getenv("AMBREL_SCREENSHOT")) {
        w.window->controller().postLinkMessage(WM_LINK_LISTENING);
        waitFor([&] { return w.status() == "Listening..."; });
        QCoreApplication::postEvent(&w.app, new LevelsEvent(42, 67));
        waitFor([&] { return w.child<LevelMeter>("recordMeter")->level() == 42; });
        EXPECT_TRUE(w.window->grab().save(path));
    }
}

// Every text the status and codec lines can show is either drawn whole
// within the line or elided there with the whole text in the tooltip.
TEST_F(WindowTest, StatusAndCodecLinesNeverCutATextOff) {
    Window w(AppSettings{});
    auto* status = w.child<FittedLabel>("status");
    auto* codec = w.child<FittedLabel>("codec");
    auto check = [](FittedLabel* line, const QString& text) {
        line->setText(text);
        EXPECT_EQ(line->text(), text);
        int drawn = QFontMetrics(line->shownFont()).horizontalAdvance(line->shownText());
        EXPECT_LE(drawn, line->contentsRect().width()) << text.toStdString();
        EXPECT_GE(line->shownFont().pointSizeF(), line->font().pointSizeF() * FittedLabel::kMinimumScale - 0.01);
        if (line->shownText() != text) {
            EXPECT_TRUE(line->shownText().endsWith(QChar(0x2026))) << line->shownText().toStdString();
            EXPECT_TRUE(line->fullToolTip().startsWith(text)) << text.toStdString();
        } else {
            EXPECT_EQ(line->fullToolTip(), "");
        }
    };
    for (const char* text : {" ", "One-to-many mode.", "Failed to initialize Sound Card!",
                             "Error> Can't connect to the peer!", "Error> Can't listen on the port!",
                             "Listening...", "Connected.", "Disconnected.", "Looking up the host...",
                             "A status text far longer than any status line could ever hold in one line"}) {
        w.window->showStatus(text);
        check(status, text);
    }
    for (const CodecName& name : codecNames()) check(codec, QString::fromStdString("codec: " + codecLabel(name.id)));
    // The short texts are shown whole.
    w.window->showStatus("Connected.");
    EXPECT_EQ(status->shownText(), "Connected.");
}

TEST_F(WindowTest, ListenConnectDisconnectBetweenTwoWindows) {
    int port = test::freeUdpPort();
    Window listener(settingsFor(port));
    Window caller(settingsFor(port));

    listener.button("listen")->click();
    ASSERT_TRUE(listener.waitStatus("Listening..."));
    EXPECT_TRUE(listener.buttons(false, false, true));

    caller.button("connect")->click();
    ASSERT_TRUE(caller.waitStatus("Connected."));
    EXPECT_TRUE(caller.buttons(false, false, true));
    ASSERT_TRUE(listener.waitStatus("Connected."));
    // Sound flows both ways.
    EXPECT_TRUE(waitFor([&] { return listener.audio->framesPlayed > 8 && caller.audio->framesPlayed > 8; }));

    caller.button("disconnect")->click();
    ASSERT_TRUE(caller.waitStatus("Disconnected."));
    EXPECT_TRUE(caller.buttons(true, true, false));
    listener.button("disconnect")->click();
    ASSERT_TRUE(listener.waitStatus("Disconnected."));
    EXPECT_TRUE(listener.buttons(true, true, false));
}

// The shared logic with a view that counts what it is asked.
struct CountingView : CallView {
    void showStatus(const std::string& text) override { statuses.push_back(text); }
    void setCallButtons(bool c, bool l, bool d) override { buttons = {c, l, d}; }
    void enterOneToManyMode() override { oneToMany = true; }
    void showMuteStates(bool s, bool m) override { mutes = {s, m}; }
    void setHostAndPort(const std::string& h, int p) override {
        host = h;
        port = p;
    }
    std::string hostText() override { return host; }
    std::optional<int> portValue() override {
        ++portReads;
        return port;
    }
    std::vector<std::string> statuses;
    std::array<bool, 3> buttons{};
    std::array<bool, 2> mutes{};
    bool oneToMany = false;
    std::string host;
    int port = 0;
    int portReads = 0;
};

TEST_F(WindowTest, RepeatedDisconnectDoesNotStartASecondConnect) {
    UdpPeer peer;
    AppSettings s = settingsFor(peer.port());
    s.autoConnect = true;
    CountingView view;
    // The link's thread is not started: the test delivers the notifications.
    CallController c(s, std::make_unique<VoiceLink>(std::make_unique<FakeAudio>()), view, nullptr,
                     [](VoiceLink&) {});
    c.initialize();
    EXPECT_EQ(view.portReads, 1);  // the unattended Connect at start
    EXPECT_EQ(c.link().state(), VoiceLink::Connected);

    c.link().disconnect();
    c.postLinkMessage(WM_LINK_DISCONNECTED);
    c.postLinkMessage(WM_LINK_DISCONNECTED);
    test::spin(100);
    EXPECT_EQ(view.portReads, 2);  // one new Connect for two notifications
    EXPECT_EQ(c.link().state(), VoiceLink::Connected);
    EXPECT_EQ(view.statuses.back(), "Disconnected.");
    EXPECT_EQ(view.buttons, (std::array<bool, 3>{true, true, false}));

    c.postLinkMessage(WM_LINK_CONNECTED);
    test::spin(50);
    EXPECT_EQ(view.statuses.back(), "Connected.");
    EXPECT_EQ(view.buttons, (std::array<bool, 3>{false, false, true}));
    c.postLinkMessage(WM_LINK_LISTENING);
    test::spin(50);
    EXPECT_EQ(view.statuses.back(), "Listening...");

    // autoListen, with the link running: a disconnect listens again.
    AppSettings l = settingsFor(test::freeUdpPort());
    l.autoListen = true;
    CountingView lview;
    auto audio = std::make_unique<FakeAudio>();
    FakeAudio* capture = audio.get();
    CallController lc(l, std::make_unique<VoiceLink>(std::move(audio)), lview, nullptr);
    lc.initialize();
    ASSERT_TRUE(waitFor([&] { return !lview.statuses.empty() && lview.statuses.back() == "Listening..."; }));
    EXPECT_EQ(lview.portReads, 1);
    // The link's worker reports the end of a call it has begun: wait for it.
    ASSERT_TRUE(waitFor([&] { return capture->captures > 0; }));
    lc.disconnectCall();
    ASSERT_TRUE(waitFor([&] { return lview.portReads == 2; }));
    ASSERT_TRUE(waitFor([&] { return lview.statuses.back() == "Listening..."; }));
    EXPECT_EQ(lc.link().state(), VoiceLink::Listening);
    EXPECT_NE(std::find(lview.statuses.begin(), lview.statuses.end(), "Disconnected."), lview.statuses.end());
}

TEST_F(WindowTest, ALateRepeatOfTheDisconnectLeavesAnUnattendedListenOnShow) {
    // Port 0: without its worker the link keeps the first socket open.
    AppSettings s = settingsFor(0);
    s.autoListen = true;
    CountingView view;
    CallController c(s, std::make_unique<VoiceLink>(std::make_unique<FakeAudio>()), view, nullptr,
                     [](VoiceLink&) {});
    c.initialize();
    test::spin(50);
    EXPECT_EQ(view.port, c.link().localPort());  // the port the system chose
    view.port = 0;          // ... while this first socket stays open
    c.link().disconnect();  // the caller went away
    c.postLinkMessage(WM_LINK_DISCONNECTED);
    test::spin(100);
    EXPECT_EQ(view.portReads, 2);  // listening again
    EXPECT_EQ(view.statuses.back(), "Listening...");
    c.postLinkMessage(WM_LINK_DISCONNECTED);  // the link's repeat, after the new listen
    c.postLinkMessage(WM_LINK_CONNECTED);     // a call that ended as it connected
    test::spin(100);
    EXPECT_EQ(c.link().state(), VoiceLink::Listening);
    EXPECT_EQ(view.portReads, 2);
    EXPECT_EQ(view.statuses.back(), "Listening...");
    EXPECT_EQ(view.buttons, (std::array<bool, 3>{false, false, true}));
}

TEST_F(WindowTest, DisconnectBeforeTheLinkNoticedTheCallStillEndsIt) {
    AppSettings s = settingsFor(test::freeUdpPort());
    CountingView view;
    // The worker never runs, so the link never reports the end of the call.
    CallController c(s, std::make_unique<VoiceLink>(std::make_unique<FakeAudio>()), view, nullptr,
                     [](VoiceLink&) {});
    c.initialize();
    c.listenForPeer();
    test::spin(50);
    EXPECT_EQ(view.statuses.back(), "Listening...");
    EXPECT_EQ(view.buttons, (std::array<bool, 3>{false, false, true}));
    c.disconnectCall();
    ASSERT_TRUE(waitFor([&] { return view.statuses.back() == "Disconnected."; }, 5000));
    EXPECT_EQ(view.buttons, (std::array<bool, 3>{true, true, false}));
}

TEST_F(WindowTest, UnattendedConnectRetriesAgainstARefusingPeer) {
    AppSettings s = settingsFor(test::freeUdpPort());  // nobody there: sends are refused
    s.host = "::1";
    s.autoConnect = true;
    Window w(s);
    int connects = 0;
    QObject::connect(&w.window->controller(), &CallController::statusChanged, [&](const QString& text) {
        if (text == "Connected.") ++connects;
    });
    // The refusals do not end the call (no flood of calls and ends): it goes
    // on, and the window says that nobody answers.
    const QString noAnswer = "No answer from [::1]:" + QString::number(s.port);
    EXPECT_TRUE(w.waitStatus(noAnswer, 20000)) << w.status().toStdString();
    test::spin(1500);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(w.status(), noAnswer);
    // Ended, the call is dialled again.
    w.window->controller().disconnectCall();
    EXPECT_TRUE(waitFor([&] { return connects >= 2; }, 20000)) << connects;
    // A connect that throws shows the error and is not retried by itself.
    w.child<QLineEdit>("host")->setText("");  // fails without asking a name server
    w.window->controller().disconnectCall();
    EXPECT_TRUE(w.waitStatus("Error> Can't connect to the peer!", 20000));
    int seen = connects;
    test::spin(700);
    EXPECT_EQ(connects, seen);
    EXPECT_EQ(w.window->controller().link().state(), VoiceLink::Idle);
    EXPECT_TRUE(w.buttons(true, true, false));
}

// A name server that takes its time: the lookup runs beside the window,
// which keeps handling events, and the call starts when the address arrives.
struct SlowNameServer {
    struct State {
        std::atomic<bool> answer{false};
        std::atomic<int> asked{0};
        std::atomic<int> finished{0};
        std::atomic<bool> onCallerThread{false};
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    Qt::HANDLE uiThread = QThread::currentThreadId();

    CallController::HostResolver resolver() {
        return [s = state, ui = uiThread](const std::string& host) -> std::vector<SocketAddress> {
            if (QThread::currentThreadId() == ui) s->onCallerThread = true;
            ++s->asked;
            // Held until the test answers (30 s at most: never on the caller's thread).
            for (int i = 0; i < 3000 && !s->answer && QThread::currentThreadId() != ui; ++i) QThread::msleep(10);
            ++s->finished;
            if (host != "peer.example") throw UnknownHostException();
            return {SocketAddress::fromHostOrder(0x7F000001, 0)};
        };
    }
};

TEST_F(WindowTest, TheHostFieldTakesAnIpv6Literal) {
    SocketHandle v6;
    v6.openDatagram(SocketAddress::kIpv6);
    bindSocket(v6.handle, resolveHost("::1"));
    const int v6Port = localAddress(v6.handle).hostPort();
    Window w(settingsFor(v6Port));
    w.child<QLineEdit>("host")->setText("[::1]");
    w.button("muteMicrophone")->click();
    w.button("connect")->click();
    ASSERT_TRUE(w.waitStatus("Connected."));
    EXPECT_EQ(w.window->controller().link().peer().text(), "[::1]:" + std::to_string(v6Port));
    uint8_t got[4];
    SocketAddress from;
    EXPECT_EQ(receiveFrom(v6.handle, from, got, sizeof got, 5000), 1);
}

TEST_F(WindowTest, ConnectLooksNamesUpWithoutFreezingTheWindow) {
    UdpPeer peer;
    Window w(settingsFor(peer.port()));
    SlowNameServer dns;
    w.window->controller().setHostResolver(dns.resolver());
    w.child<QLineEdit>("host")->setText("peer.example");

    w.button("connect")->click();
    ASSERT_TRUE(waitFor([&] { return dns.state->asked == 1; }));
    EXPECT_FALSE(dns.state->onCallerThread);
    EXPECT_EQ(w.status(), "Looking up the host...");
    EXPECT_TRUE(w.buttons(false, false, true));
    // The window answers while the name server does not.
    w.button("muteMicrophone")->click();
    EXPECT_TRUE(w.window->controller().link().sendMuted());
    EXPECT_EQ(w.window->controller().link().state(), VoiceLink::Idle);

    dns.state->answer = true;
    ASSERT_TRUE(w.waitStatus("Connected."));
    EXPECT_EQ(peer.receive(5000), std::vector<uint8_t>{1});  // muted: no-sound datagrams
    w.button("disconnect")->click();
    ASSERT_TRUE(w.waitStatus("Disconnected."));

    // A name nobody knows: the error, and the buttons as before.
    w.child<QLineEdit>("host")->setText("nobody.example");
    w.button("connect")->click();
    EXPECT_TRUE(w.waitStatus("Error> Can't connect to the peer!"));
    EXPECT_TRUE(w.buttons(true, true, false));

    // Disconnect drops a lookup under way; its late answer changes nothing.
    dns.state->answer = false;
    w.child<QLineEdit>("host")->setText("peer.example");
    w.button("connect")->click();
    ASSERT_TRUE(waitFor([&] { return dns.state->asked == 3; }));
    w.button("disconnect")->click();
    EXPECT_EQ(w.status(), "Disconnected.");
    EXPECT_TRUE(w.buttons(true, true, false));
    dns.state->answer = true;
    ASSERT_TRUE(waitFor([&] { return dns.state->finished == 3; }));
    test::spin(100);
    EXPECT_EQ(w.window->controller().link().state(), VoiceLink::Idle);
    EXPECT_EQ(w.status(), "Disconnected.");

    // A window closed during a lookup is not called back.
    dns.state->answer = false;
    w.button("connect")->click();
    ASSERT_TRUE(waitFor([&] { return dns.state->asked == 4; }));
    w.app.setMainWindow(nullptr);
    w.window.reset();
    dns.state->answer = true;
    ASSERT_TRUE(waitFor([&] { return dns.state->finished == 4; }));
    test::spin(100);
}

TEST_F(WindowTest, OneToManyModeSendsToEveryDestination) {
    UdpPeer first, second;
    AppSettings s;
    s.destinations = {SocketAddress::fromHostOrder(0x7F000001, first.port()),
                      SocketAddress::fromHostOrder(0x7F000001, second.port())};
    Window w(s);
    EXPECT_EQ(w.status(), "One-to-many mode.");
    EXPECT_FALSE(w.child<QLineEdit>("host")->isEnabled());
    EXPECT_FALSE(w.child<QLineEdit>("port")->isEnabled());
    EXPECT_FALSE(w.button("addressBook")->isEnabled());
    EXPECT_FALSE(w.button("listen")->isEnabled());
    EXPECT_TRUE(w.button("connect")->isEnabled());

    w.button("connect")->click();
    ASSERT_TRUE(w.waitStatus("Connected."));
    auto a = first.receive(5000);
    auto b = second.receive(5000);
    ASSERT_EQ(a.size(), 41u);  // kind byte and four 10-byte frames
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[0], 0);

    w.button("disconnect")->click();
    ASSERT_TRUE(w.waitStatus("Disconnected."));
    EXPECT_TRUE(w.buttons(true, false, false));  // Listen stays off
    EXPECT_FALSE(w.child<QLineEdit>("host")->isEnabled());
}

TEST_F(WindowTest, ReceiveOnlyStartsWithTheMicrophoneMutedAndSendsNoSound) {
    UdpPeer peer;
    AppSettings s = settingsFor(peer.port());
    s.sendEnabled = false;
    Window w(s);
    EXPECT_TRUE(w.button("muteMicrophone")->isChecked());
    EXPECT_EQ(w.button("muteMicrophone")->accessibleName(), "Microphone muted");
    EXPECT_FALSE(w.button("muteSpeakers")->isChecked());
    EXPECT_TRUE(w.window->controller().link().sendMuted());

    w.button("connect")->click();
    ASSERT_TRUE(w.waitStatus("Connected."));
    for (int i = 0; i < 5; ++i) {
        auto d = peer.receive(5000);
        ASSERT_EQ(d.size(), 1u) << "only no-sound datagrams";
        EXPECT_EQ(d[0], 1);
    }
    // Unmuting sends sound again; muting the speakers sets the link's flag.
    w.button("muteMicrophone")->click();
    EXPECT_FALSE(w.window->controller().link().sendMuted());
    EXPECT_EQ(w.button("muteMicrophone")->accessibleName(), "Microphone on");
    EXPECT_TRUE(waitFor([&] { return peer.receive(100).size() == 41u; }));
    w.button("muteSpeakers")->click();
    EXPECT_TRUE(w.window->controller().link().playMuted());
    EXPECT_EQ(w.button("muteSpeakers")->accessibleName(), "Speakers muted");
}

// A call without sound would stay silent: while the sound cannot start,
// Connect and Listen only try to start it again and say why they could not.
TEST_F(WindowTest, FailingSoundStartIsRetriedByConnectAndListen) {
    int port = test::freeUdpPort();
    bool soundThere = false;
    int starts = 0;
    Window w(settingsFor(port), [&](VoiceLink& link) {
        ++starts;
        if (!soundThere) throw SoundStartException();
        link.create();
        link.start();
    });
    auto* status = w.child<FittedLabel>("status");
    EXPECT_EQ(w.status(), "Failed to initialize Sound Card!");
    EXPECT_TRUE(status->fullToolTip().contains("Connect and Listen try again.")) << status->fullToolTip().toStdString();
    EXPECT_FALSE(w.window->controller().started());
    EXPECT_TRUE(w.buttons(true, true, false));

    w.button("listen")->click();
    w.button("connect")->click();
    test::spin(100);
    EXPECT_EQ(starts, 3);
    EXPECT_EQ(w.status(), "Failed to initialize Sound Card!");
    EXPECT_EQ(w.window->controller().link().state(), VoiceLink::Idle);
    EXPECT_TRUE(w.buttons(true, true, false));

    // The reason given by the program's diagnosis reaches the tooltip.
    w.window->controller().setSoundDiagnosis([] { return std::string("no sound server is reachable"); });
    w.button("connect")->click();
    EXPECT_TRUE(status->fullToolTip().startsWith("no sound server is reachable"));

    soundThere = true;
    w.button("listen")->click();
    EXPECT_TRUE(w.waitStatus("Listening..."));
    EXPECT_TRUE(w.window->controller().started());
    EXPECT_EQ(status->fullToolTip(), "");
    Window caller(settingsFor(port));
    caller.button("connect")->click();
    EXPECT_TRUE(w.waitStatus("Connected."));
    EXPECT_EQ(starts, 5);
}

TEST_F(WindowTest, FailingListenLeavesTheButtons) {
    UdpPeer busy;  // the port is taken
    Window w(settingsFor(busy.port()));
    w.button("listen")->click();
    test::spin(100);
    EXPECT_EQ(w.status(), "Error> Can't listen on the port!");
    EXPECT_TRUE(w.buttons(true, true, false));
}

TEST_F(WindowTest, InvalidPortIsRefusedWithTheFrameworkMessage) {
    Window w(AppSettings{});
    w.child<QLineEdit>("port")->setText("70000");
    w.button("connect")->click();
    w.button("listen")->click();
    ASSERT_EQ(w.portErrors.size(), 2);
    EXPECT_EQ(w.portErrors[0], "Please enter an integer between 0 and 65535.");
    EXPECT_EQ(w.window->controller().link().state(), VoiceLink::Idle);
    EXPECT_EQ(w.status(), " ");
    w.child<QLineEdit>("port")->setText("");
    w.button("connect")->click();
    EXPECT_EQ(w.portErrors.size(), 3);
}

TEST_F(WindowTest, LevelsShowAtLeastOne) {
    Window w(AppSettings{});
    auto* record = w.child<LevelMeter>("recordMeter");
    auto* play = w.child<LevelMeter>("playMeter");
    QCoreApplication::postEvent(&w.app, new LevelsEvent(57, 80));
    ASSERT_TRUE(waitFor([&] { return record->level() == 57; }));
    EXPECT_EQ(play->level(), 80);
    QCoreApplication::postEvent(&w.app, new LevelsEvent(0, -1));
    ASSERT_TRUE(waitFor([&] { return record->level() == 1; }));
    EXPECT_EQ(play->level(), 1);
    // Levels reported by a running link arrive the same way (level 0 -> 1).
    UdpPeer peer;
    w.child<QLineEdit>("port")->setText(QString::number(peer.port()));
    QCoreApplication::postEvent(&w.app, new LevelsEvent(30, 30));
    ASSERT_TRUE(waitFor([&] { return record->level() == 30; }));
    w.button("connect")->click();
    EXPECT_TRUE(waitFor([&] { return record->level() == 1 && play->level() == 1; }));
    // Without a main window the message is ignored.
    w.app.setMainWindow(nullptr);
    QCoreApplication::postEvent(&w.app, new LevelsEvent(99, 99));
    test::spin(50);
    EXPECT_NE(record->level(), 99);
}

// The system menu shows which parts of the voice processing run and switches
// them; the meters' tooltip carries the stage's figures.
TEST_F(WindowTest, SystemMenuSwitchesThePartsOfTheVoiceProcessing) {
    AppSettings settings;
    settings.voiceFeatures = kVoiceAll & ~kVoiceNoiseSuppression;
    Window w(settings);
    QStringList seen;
    QTimer::singleShot(100, [&seen] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* a : menu->actions())
            if (a->isCheckable()) seen << a->text() + (a->isChecked() ? " on" : " off");
        menu->actions().front()->trigger();  // echo cancellation off
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), w.window->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(w.window.get(), &event);
    EXPECT_EQ(seen, (QStringList{"&Echo cancellation on", "&Noise suppression off", "&Gain control on"}));
    EXPECT_EQ(w.audio->voiceFeatures.load(), unsigned(kVoiceGainControl | kVoiceHighPass));
    EXPECT_EQ(w.window->voiceFeatures(), unsigned(kVoiceGainControl | kVoiceHighPass));

    QCoreApplication::postEvent(&w.app, new LevelsEvent(20, 20));
    auto* record = w.child<LevelMeter>("recordMeter");
    ASSERT_TRUE(waitFor([&] { return record->level() == 20; }));
    EXPECT_TRUE(record->toolTip().contains("voice processing off")) << record->toolTip().toStdString();
}

// Clicks `button` and returns the title of the modal dialog it opened (closed
// again at once), or an empty text when none opened.
QString dialogOpenedBy(QPushButton* button) {
    QString title;
    QTimer::singleShot(100, [&title] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            title = modal->windowTitle();
            modal->close();
        }
    });
    button->click();
    test::spin(150);
    return title;
}

TEST_F(WindowTest, HelpAndAddressBookButtonsOpenTheirDialogs) {
    Window w(AppSettings{});
    EXPECT_EQ(dialogOpenedBy(w.button("help")), "About Ambrel");
    EXPECT_EQ(dialogOpenedBy(w.button("addressBook")), "Contacts");
    // Closing the address book changes nothing.
    EXPECT_EQ(w.child<QLineEdit>("host")->text(), "127.0.0.1");
    EXPECT_EQ(w.child<QLineEdit>("port")->text(), "5007");
}

TEST_F(WindowTest, KeysOpenTheDialogsEscapeKeepsTheWindowAndDisconnectClearsThePlayMeter) {
    int port = test::freeUdpPort();
    Window w(settingsFor(port));
    w.window->activateWindow();
    EXPECT_EQ(w.button("addressBook")->shortcut(), QKeySequence(Qt::ALT | Qt::Key_A));
    EXPECT_EQ(w.button("help")->shortcut(), QKeySequence(Qt::Key_F1));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(w.window.get(), &escape);
    test::spin(50);
    EXPECT_TRUE(w.window->isVisible()) << "Escape does not end the program";

    auto* play = w.child<LevelMeter>("playMeter");
    w.button("listen")->click();
    ASSERT_TRUE(w.waitStatus("Listening..."));
    QCoreApplication::postEvent(&w.app, new LevelsEvent(40, 90));
    ASSERT_TRUE(waitFor([&] { return play->level() == 90; }));
    w.button("disconnect")->click();
    ASSERT_TRUE(w.waitStatus("Disconnected."));
    EXPECT_EQ(play->level(), 1);
}

TEST_F(WindowTest, ExitStopsTheLinkAndClosesTheWindow) {
    int port = test::freeUdpPort();
    Window w(settingsFor(port));
    w.button("listen")->click();
    ASSERT_TRUE(w.waitStatus("Listening..."));
    w.button("exit")->click();
    EXPECT_FALSE(w.window->isVisible());
    EXPECT_EQ(w.window->controller().link().state(), VoiceLink::Idle);
    // Late notifications are ignored.
    w.window->controller().postLinkMessage(WM_LINK_CONNECTED);
    test::spin(50);
    EXPECT_EQ(w.status(), "Listening...");
}

}  // namespace
}  // namespace ambrel
