// Find computer against a real Avahi daemon. Run by about_avahi.sh inside a
// network namespace of its own, with a private system bus and a daemon that
// announces the host "ambrel-test-host".
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "app/FindComputerDialog.h"

namespace ambrel {
namespace {

const QString kHost = QStringLiteral("ambrel-test-host.local");

QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "about_avahi_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

TEST(FindComputerAvahi, ListsTheAnnouncedComputerAndReturnsItsName) {
    qtApp();

    QString chosen;
    bool listed = false;
    QWidget owner;
    // Runs inside the modal loop: wait for the host, pick it, press OK.
    QTimer::singleShot(0, [&] {
        auto* dialog = owner.findChild<FindComputerDialog*>();
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog->browsing()) << dialog->statusText().toStdString();
        QElapsedTimer timer;
        timer.start();
        while (!dialog->computers().contains(kHost) && timer.elapsed() < 30000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        listed = dialog->computers().contains(kHost);
        auto* list = dialog->findChild<QListWidget*>(QStringLiteral("computers"));
        for (int i = 0; list != nullptr && i < list->count(); ++i) {
            if (list->item(i)->text().startsWith(kHost)) list->setCurrentRow(i);
        }
        dialog->accept();
    });
    chosen = FindComputerDialog::findComputer(&owner);
    EXPECT_TRUE(listed);
    EXPECT_EQ(chosen, kHost);
}

TEST(FindComputerAvahi, AComputerWhoseServicesGoAwayLeavesTheList) {
    qtApp();
    const QString other = QStringLiteral("other-host.local");
    FindComputerDialog dialog;
    auto waitUntil = [&](const std::function<bool()>& condition) {
        QElapsedTimer timer;
        timer.start();
        while (!condition() && timer.elapsed() < 30000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return condition();
    };
    ASSERT_TRUE(waitUntil([&] { return dialog.computers().contains(kHost) && dialog.computers().contains(other); }))
        << dialog.computers().join(QLatin1Char(' ')).toStdString();
    // Unpublish the other computer's only service.
    const char* service = std::getenv("AMBREL_AVAHI_SERVICE");
    ASSERT_NE(service, nullptr);
    ASSERT_EQ(std::remove(service), 0);
    ASSERT_EQ(std::system("avahi-daemon --reload"), 0);
    EXPECT_TRUE(waitUntil([&] { return !dialog.computers().contains(other); }));
    EXPECT_TRUE(dialog.computers().contains(kHost));
}

}  // namespace
}  // namespace ambrel
