// Find computer against a real Avahi daemon. Run by about_avahi.sh inside a
// network namespace of its own, with a private system bus and a daemon that
// announces the host "ambrel-test-host".
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>

#include "app/FindComputerDialog.h"

namespace ambrel {
namespace {

const QString kHost = QStringLiteral("ambrel-test-host.local");

TEST(FindComputerAvahi, ListsTheAnnouncedComputerAndReturnsItsName) {
    static int argc = 1;
    static char name[] = "about_avahi_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);

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

}  // namespace
}  // namespace ambrel
