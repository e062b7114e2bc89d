// The about box, the banner view against loopback servers and the Find
// computer dialog, under Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTextDocument>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/AboutDialog.h"
#include "app/BannerView.h"
#include "app/FindComputerDialog.h"
#include "http/HttpClient.h"
#include "http/TestServers.h"

namespace ambrel {
namespace {

QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "about_view_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

// Processes events until the condition holds or ms have passed.
bool waitFor(const std::function<bool()>& condition, int ms = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// --- about box ------------------------------------------------------------------

TEST(AboutDialog, ShowsVersionLineAndHelpTextUnchanged) {
    qtApp();
    const QString help = QStringLiteral("Usage: ambrel [options]\n\nspeex_8khz\tSPEEX at 8 KHz (16 Kbps)\n  -x\n");
    AboutDialog about(help, QStringLiteral("2.8"), QStringLiteral("070912"));
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Ambrel"));
    EXPECT_EQ(about.versionLineShown(), QStringLiteral("Version 2.8   Build 070912"));
    EXPECT_EQ(about.helpTextShown(), help);
    EXPECT_EQ(AboutDialog::versionLine(QStringLiteral("2.8"), QStringLiteral("261209")),
              QStringLiteral("Version 2.8   Build 261209"));
    EXPECT_EQ(QString::fromLatin1(AboutDialog::kAboutMenuText), QStringLiteral("&About Ambrel..."));
    // The icon comes from the program's resources.
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/about/icon.png")));
}

// --- banner ----------------------------------------------------------------------

TEST(BannerView, WithoutServerTheStartPageStaysAndNothingIsFetched) {
    qtApp();
    BannerView view;
    QSignalSpy complete(&view, &BannerView::documentComplete);
    ASSERT_TRUE(waitFor([&] { return complete.count() == 1; }));
    EXPECT_TRUE(view.toHtml().contains(QStringLiteral("logo.png")));
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/about/logo.png")));
    EXPECT_EQ(view.source(), QUrl(QString::fromLatin1(BannerView::kStartPage)));
    view.tick();
    view.tick();
    EXPECT_TRUE(view.shownPage().isEmpty());
    EXPECT_EQ(view.fetchesOutstanding(), 0);
    EXPECT_TRUE(view.listUrl().isEmpty());
}

// A page from the network may name local files; the view loads none of them.
struct ResourceProbe : BannerView {
    using BannerView::loadResource;
};

TEST(BannerView, LoadsOnlyTheProgramsOwnResources) {
    qtApp();
    ResourceProbe view;
    auto file = std::filesystem::temp_directory_path() / ("ambrel-banner-local-" + std::to_string(::getpid()) + ".png");
    QFile::copy(QStringLiteral(":/about/logo.png"), QString::fromStdString(file.string()));
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_FALSE(view.loadResource(QTextDocument::ImageResource, QUrl::fromLocalFile(QString::fromStdString(file.string())))
                     .isValid());
    EXPECT_FALSE(view.loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("http://127.0.0.1:1/x.png"))).isValid());
    EXPECT_TRUE(view.loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("qrc:/about/logo.png"))).isValid());
    std::filesystem::remove(file);
}

class BannerWithServer : public ::testing::Test {
protected:
    void SetUp() override {
        qtApp();
        dir_ = std::filesystem::temp_directory_path() /
               ("ambrel-banner-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_ / "_banners");
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(dir_);
    }
    void write(const std::string& path, const std::string& text) { std::ofstream(dir_ / path) << text; }
    void start(const std::string& host = "127.0.0.1") {
        server_ = std::make_unique<test::PythonHttpServer>(dir_.string(), host);
        ASSERT_NE(server_->port(), 0) << "the Python test server did not start";
    }
    QString hostPort() const { return QStringLiteral("127.0.0.1:%1").arg(server_->port()); }
    int requestsOf(const std::string& path) {
        HttpClient client;
        std::string body;
        client.get(server_->url("/count?path=" + path), body);
        return std::stoi(body);
    }

    std::filesystem::path dir_;
    std::unique_ptr<test::PythonHttpServer> server_;
};

TEST_F(BannerWithServer, PagesRotateAndEachIsFetchedOnce) {
    write("_banners/a.html", "<p>page A</p>");
    write("_banners/b.html", "<p>page B</p>");
    ASSERT_NO_FATAL_FAILURE(start());
    write("_banners/Ambrel.txt", "0 /_banners/a.html\r\n0\t" + server_->url("/_banners/b.html") + "\r\n");
    BannerView view;
    view.setBannerServer(QStringLiteral("http://") + hostPort() + QStringLiteral("/"));
    EXPECT_EQ(view.listUrl(), QStringLiteral("http://") + hostPort() + QStringLiteral("/_banners/Ambrel.txt"));
    ASSERT_TRUE(waitFor([&] { return view.shownPage().contains(QStringLiteral("page A")); }));
    view.tick();
    ASSERT_TRUE(waitFor([&] { return view.shownPage().contains(QStringLiteral("page B")); }));
    view.tick();
    EXPECT_TRUE(view.shownPage().contains(QStringLiteral("page A")));  // cached: shown at once
    view.tick();
    EXPECT_TRUE(view.shownPage().contains(QStringLiteral("page B")));
    EXPECT_EQ(requestsOf("/_banners/a.html"), 1);
    EXPECT_EQ(requestsOf("/_banners/b.html"), 1);
    EXPECT_EQ(requestsOf("/_banners/Ambrel.txt"), 1);
}

TEST_F(BannerWithServer, AServerOnIpv6LoopbackServesTheBanner) {
    write("_banners/a.html", "<p>over IPv6</p>");
    write("_banners/Ambrel.txt", "0 /_banners/a.html\n");
    ASSERT_NO_FATAL_FAILURE(start("::1"));
    BannerView view;
    view.setBannerServer(QStringLiteral("[::1]:%1").arg(server_->port()));
    EXPECT_EQ(view.listUrl(), QStringLiteral("http://[::1]:%1/_banners/Ambrel.txt").arg(server_->port()));
    ASSERT_TRUE(waitFor([&] { return view.shownPage().contains(QStringLiteral("over IPv6")); }));
    EXPECT_EQ(requestsOf("/_banners/a.html"), 1);
}

TEST_F(BannerWithServer, OneEntryListFetchesItsPageOnce) {
    write("_banners/only.html", "<b>only</b>");
    write("_banners/Ambrel.txt", "0 _banners/only.html\n");
    ASSERT_NO_FATAL_FAILURE(start());
    BannerView view;
    QSignalSpy shown(&view, &BannerView::pageShown);
    view.setBannerServer(hostPort());
    ASSERT_TRUE(waitFor([&] { return shown.count() == 1; }));
    for (int t = 0; t < 5; ++t) view.tick();
    EXPECT_EQ(shown.count(), 6);
    EXPECT_EQ(view.fetchesOutstanding(), 0);
    EXPECT_EQ(requestsOf("/_banners/only.html"), 1);
}

TEST_F(BannerWithServer, OversizedPagesAndListsAreRefusedWithANote) {
    write("_banners/ok.html", "<p>small page</p>");
    ASSERT_NO_FATAL_FAILURE(start());
    // A page of 60 MB is cut off after the first megabyte; the next page shows.
    write("_banners/Ambrel.txt", "0 /big?kb=61440\n0 /_banners/ok.html\n");
    {
        BannerView view;
        view.setBannerServer(hostPort());
        ASSERT_TRUE(waitFor([&] { return !view.note().isEmpty(); }));
        EXPECT_EQ(view.note(), QStringLiteral("Banner page http://%1/big?kb=61440: larger than 1 MB").arg(hostPort()));
        EXPECT_EQ(view.toolTip(), view.note());
        EXPECT_TRUE(view.shownPage().isEmpty());
        view.tick();
        ASSERT_TRUE(waitFor([&] { return view.shownPage().contains(QStringLiteral("small page")); }));
        // A second failure in a row waits before the next try.
        view.tick();
        ASSERT_TRUE(waitFor([&] { return view.note().endsWith(QStringLiteral("tried again in 30 s")); }));
        for (int t = 0; t < 6; ++t) view.tick();
        QCoreApplication::processEvents();
        EXPECT_EQ(requestsOf("/big"), 2);
    }
    write("_banners/Ambrel.txt", "0 /_banners/ok.html\n" + std::string(2 * 1024 * 1024, '#'));
    BannerView view;
    view.setBannerServer(hostPort());
    ASSERT_TRUE(waitFor([&] { return !view.note().isEmpty(); }));
    EXPECT_EQ(view.note(),
              QStringLiteral("Banner list http://%1/_banners/Ambrel.txt: larger than 1 MB").arg(hostPort()));
    EXPECT_TRUE(view.rotation().items().empty());
}

TEST_F(BannerWithServer, MissingListLeavesTheStartPage) {
    ASSERT_NO_FATAL_FAILURE(start());
    BannerView view;
    view.setBannerServer(hostPort());
    ASSERT_TRUE(waitFor([&] { return requestsOf("/_banners/Ambrel.txt") == 1 && view.fetchesOutstanding() == 0; }));
    QCoreApplication::processEvents();
    view.tick();
    EXPECT_TRUE(view.shownPage().isEmpty());
    EXPECT_TRUE(view.rotation().items().empty());
    EXPECT_EQ(view.source(), QUrl(QString::fromLatin1(BannerView::kStartPage)));
}

TEST_F(BannerWithServer, NewServerDoesNotWaitForAHangingFetch) {
    write("_banners/p.html", "<i>from the second server</i>");
    write("_banners/Ambrel.txt", "3 /_banners/p.html\n");
    ASSERT_NO_FATAL_FAILURE(start());
    test::ScriptedServer silent({{"", true, true}});
    BannerView view;
    view.setBannerServer(QStringLiteral("127.0.0.1:%1").arg(silent.port()));
    ASSERT_TRUE(waitFor([&] { return silent.requests().size() == 1; }));
    view.setBannerServer(hostPort());
    // Far sooner than the hanging fetch's 60 s time-out.
    EXPECT_TRUE(waitFor([&] { return view.shownPage().contains(QStringLiteral("second server")); }, 15000));
}

TEST(BannerView, UnreachableServerLeavesTheWindowResponsive) {
    qtApp();
    // Accepts the connection and never answers: the fetch hangs for the
    // client's whole time-out.
    test::ScriptedServer silent({{"", true, true}});
    auto view = std::make_unique<BannerView>();
    view->setBannerServer(QStringLiteral("127.0.0.1:%1").arg(silent.port()));
    ASSERT_TRUE(waitFor([&] { return silent.requests().size() == 1; }));
    // While the fetch hangs, events keep being processed.
    int fired = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] { ++fired; });
    probe.start(10);
    QElapsedTimer elapsed;
    elapsed.start();
    waitFor([&] { return fired >= 20; }, 5000);
    EXPECT_GE(fired, 20);
    EXPECT_EQ(view->fetchesOutstanding(), 1);
    // Closing the window does not wait for the time-out either.
    QElapsedTimer closing;
    closing.start();
    view.reset();
    EXPECT_LT(closing.elapsed(), 10000);
}

// --- network browse ----------------------------------------------------------------

TEST(FindComputerDialog, SaysSoWhenNoAvahiDaemonRuns) {
    qtApp();
    // A system bus that does not exist: no daemon can be reached.
    std::filesystem::path nowhere = std::filesystem::temp_directory_path() / "ambrel-no-such-dir" / "bus";
    QByteArray old = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray("unix:path=") + QByteArray::fromStdString(nowhere.string()));
    {
        FindComputerDialog dialog;
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Find computer"));
        EXPECT_FALSE(dialog.browsing());
        EXPECT_TRUE(dialog.statusText().contains(QStringLiteral("No Avahi daemon")) ||
                    dialog.statusText().contains(QStringLiteral("cannot browse")))
            << dialog.statusText().toStdString();
        EXPECT_TRUE(dialog.computers().isEmpty());
        EXPECT_TRUE(dialog.chosenComputer().isEmpty());
        // Cancelling returns no name.
        QTimer::singleShot(0, &dialog, &QDialog::reject);
        EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    }
    if (old.isNull()) {
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    } else {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", old);
    }
}

}  // namespace
}  // namespace ambrel
