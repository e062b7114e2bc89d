// The "Contacts" dialog under Qt's offscreen platform, on real files.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "app/AddressBookDialog.h"
#include "app/ContactsFile.h"
#include "xml/ScratchFiles.h"

// Qt's font set-up keeps fontconfig allocations for the life of the process;
// LeakSanitizer (in sanitizer builds) is told they are not this code's leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace ambrel {
namespace {

namespace fs = std::filesystem;

class AddressBookDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance()) {
            static int argc = 1;
            static char name[] = "contacts_dialog_test";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
        }
    }

    void put(const std::string& bytes) { testing::put(file_, bytes); }
    static std::string slurp(const fs::path& p) { return testing::slurp(p); }

    static QTreeWidget* list(QDialog& d) { return d.findChild<QTreeWidget*>("contactList"); }
    static QLineEdit* edit(QDialog& d, const char* name) { return d.findChild<QLineEdit*>(name); }
    static QPushButton* button(QDialog& d, const char* name) { return d.findChild<QPushButton*>(name); }
    static QStringList row(QDialog& d, int r) {
        QTreeWidgetItem* item = list(d)->topLevelItem(r);
        return {item->text(0), item->text(1), item->text(2)};
    }
    static void addRow(QDialog& d, const QString& name, const QString& host, const QString& port) {
        edit(d, "nameEdit")->setText(name);
        edit(d, "hostEdit")->setText(host);
        edit(d, "portEdit")->setText(port);
        button(d, "addButton")->click();
    }

    testing::ScratchDir scratch_{"ambrel-contacts-dialog"};
    const fs::path dir_ = scratch_.path();
    const fs::path file_ = dir_ / kContactsFileName;
};

TEST_F(AddressBookDialogTest, LoadsContactsOfAnyCaseSortedByName) {
    put("<contacts>"
        "<Contact><name>bob</name><host>b.example</host><port>2</port></Contact>"
        "<CONTACT><name>Ann</name><host>a.example</host></CONTACT>"
        "<other><name>zed</name></other>"
        "<contact><name>Bob</name><host>second.example</host><port>x9</port></contact>"
        "</contacts>");
    AddressBookDialog d(file_);
    EXPECT_EQ(d.windowTitle(), "Contacts");
    ASSERT_EQ(list(d)->topLevelItemCount(), 3);
    EXPECT_EQ(row(d, 0), (QStringList{"Ann", "a.example", ""}));  // no port: empty column
    EXPECT_EQ(row(d, 1), (QStringList{"bob", "b.example", "2"}));  // equal names keep file order
    EXPECT_EQ(row(d, 2), (QStringList{"Bob", "second.example", "x9"}));
    EXPECT_EQ(list(d)->headerItem()->text(0), "Name");
    EXPECT_EQ(list(d)->headerItem()->text(1), "IP");
    EXPECT_EQ(list(d)->headerItem()->text(2), "Port");
    EXPECT_TRUE(list(d)->selectedItems().isEmpty());
}

TEST_F(AddressBookDialogTest, EditsStartWithTheChosenHostAndPort) {
    AddressBookDialog d(file_);
    d.setChosenHost("peer.example");
    d.setChosenPort(5007);
    EXPECT_EQ(edit(d, "nameEdit")->text(), "");
    EXPECT_EQ(edit(d, "hostEdit")->text(), "peer.example");
    EXPECT_EQ(edit(d, "portEdit")->text(), "5007");
    EXPECT_EQ(list(d)->topLevelItemCount(), 0);  // no file: empty list
}

TEST_F(AddressBookDialogTest, AddConvertsThePortAndSelectsTheNewRow) {
    AddressBookDialog d(file_);
    addRow(d, "Zoe", "z.example", " 0070 ");
    addRow(d, "amy", "a.example", "6000");
    ASSERT_EQ(list(d)->topLevelItemCount(), 2);
    EXPECT_EQ(row(d, 0), (QStringList{"amy", "a.example", "6000"}));
    EXPECT_EQ(row(d, 1), (QStringList{"Zoe", "z.example", "70"}));
    ASSERT_EQ(list(d)->selectedItems().size(), 1);
    EXPECT_EQ(list(d)->selectedItems().first()->text(0), "amy");

    list(d)->setCurrentItem(list(d)->topLevelItem(1));  // single selection: replaces amy
    ASSERT_EQ(list(d)->selectedItems().size(), 1);
    button(d, "okButton")->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.chosenName(), "Zoe");
    EXPECT_EQ(d.chosenHost(), "z.example");
    EXPECT_EQ(d.chosenPort(), 70);
    EXPECT_EQ(loadContacts(file_),
              (std::vector<Contact>{{"amy", "a.example", "6000"}, {"Zoe", "z.example", "70"}}));
}

TEST_F(AddressBookDialogTest, FieldsMustBeAContactAndASelectedRowCanBeChanged) {
    AddressBookDialog d(file_);
    QStringList messages;
    d.messageSink = [&](const QString& text) { messages << text; };
    for (const char* port : {"70000", "-5", "12ab", "0", ""}) addRow(d, "Bad", "b.example", port);
    addRow(d, "Empty", "  ", "5007");
    EXPECT_EQ(list(d)->topLevelItemCount(), 0);
    ASSERT_EQ(messages.size(), 6);
    EXPECT_EQ(messages[0], "Enter a port from 1 to 65535.");
    EXPECT_EQ(messages[5], "Enter the IP address or host name of the contact.");

    // Spaces at the ends of a name are part of it, in the file too.
    addRow(d, "  Bob  ", "b.example", "5007");
    addRow(d, "Amy", "a.example", "5008");
    list(d)->setCurrentItem(list(d)->topLevelItem(0));  // blanks sort first
    EXPECT_EQ(edit(d, "nameEdit")->text(), "  Bob  ");
    EXPECT_EQ(edit(d, "portEdit")->text(), "5007");
    edit(d, "hostEdit")->setText("bob.example");
    button(d, "changeButton")->click();
    ASSERT_EQ(list(d)->topLevelItemCount(), 2);
    button(d, "okButton")->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.chosenHost(), "bob.example");
    EXPECT_EQ(loadContacts(file_),
              (std::vector<Contact>{{"  Bob  ", "bob.example", "5007"}, {"Amy", "a.example", "5008"}}));
    EXPECT_EQ(messages.size(), 6);
}

TEST_F(AddressBookDialogTest, OkWithoutSelectionSavesButReturnsCancel) {
    AddressBookDialog d(file_);
    d.setChosenHost("keep.example");
    d.setChosenPort(5007);
    addRow(d, "New", "new.example", "1");
    list(d)->clearSelection();
    button(d, "okButton")->click();
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(loadContacts(file_), (std::vector<Contact>{{"New", "new.example", "1"}}));
}

TEST_F(AddressBookDialogTest, OkWithoutChangesDoesNotWrite) {
    put("<contacts><contact><name>A</name><host>h</host><port>1</port></contact></contacts>");
    AddressBookDialog d(file_);
    list(d)->topLevelItem(0)->setSelected(true);
    button(d, "okButton")->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.chosenHost(), "h");
    EXPECT_EQ(d.chosenPort(), 1);
    EXPECT_EQ(slurp(file_), "<contacts><contact><name>A</name><host>h</host><port>1</port></contact></contacts>");
}

TEST_F(AddressBookDialogTest, RemovingAllRowsWritesAnEmptyBook) {
    ASSERT_TRUE(saveContacts(file_, {{"A", "a", "1"}, {"B", "b", "2"}}));
    AddressBookDialog d(file_);
    ASSERT_EQ(list(d)->topLevelItemCount(), 2);
    button(d, "removeButton")->click();  // nothing selected: nothing happens
    EXPECT_EQ(list(d)->topLevelItemCount(), 2);
    while (list(d)->topLevelItemCount() > 0) {
        list(d)->topLevelItem(0)->setSelected(true);
        button(d, "removeButton")->click();
    }
    button(d, "okButton")->click();
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(slurp(file_), "<contacts/>\r\n");
}

TEST_F(AddressBookDialogTest, CancelSavesNothing) {
    ASSERT_TRUE(saveContacts(file_, {{"A", "a", "1"}}));
    const std::string before = slurp(file_);
    AddressBookDialog d(file_);
    addRow(d, "B", "b", "2");
    button(d, "cancelButton")->click();
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(slurp(file_), before);
}

TEST_F(AddressBookDialogTest, DoubleClickReturnsHostAndPort) {
    ASSERT_TRUE(saveContacts(file_, {{"A", "a.example", "1"}, {"B", "b.example", "4242"}}));
    AddressBookDialog d(file_);
    d.setChosenHost("old.example");
    d.setChosenPort(5007);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    QTreeWidget* l = list(d);
    const QPoint where = l->visualItemRect(l->topLevelItem(1)).center();
    QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, where);  // a double click starts with a click
    QTest::mouseDClick(l->viewport(), Qt::LeftButton, {}, where);
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.chosenHost(), "b.example");
    EXPECT_EQ(d.chosenPort(), 4242);
}

TEST_F(AddressBookDialogTest, ExecGivesAcceptedForTheSelectedRow) {
    ASSERT_TRUE(saveContacts(file_, {{"A", "a.example", "1"}}));
    AddressBookDialog d(file_);
    QTimer::singleShot(0, &d, [&d] {
        list(d)->topLevelItem(0)->setSelected(true);
        QTest::keyClick(&d, Qt::Key_Return);  // OK is the default button
    });
    EXPECT_EQ(d.exec(), QDialog::Accepted);
    EXPECT_EQ(d.chosenHost(), "a.example");
    EXPECT_EQ(d.chosenPort(), 1);
}

TEST_F(AddressBookDialogTest, FailedSaveSaysWhyAndKeepsTheDialogOpenWithNothingLost) {
    ASSERT_TRUE(saveContacts(file_, {{"A", "a", "1"}}));
    const std::string before = slurp(file_);
    fs::path blocker = file_;
    blocker += "." + std::to_string(::getpid()) + ".tmp";
    fs::create_directory(blocker);  // the temporary file cannot be created
    AddressBookDialog d(file_);
    QStringList messages;
    d.messageSink = [&](const QString& text) { messages << text; };
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    addRow(d, "B", "b", "2");
    button(d, "okButton")->click();
    EXPECT_TRUE(d.isVisible());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("not saved: A temporary file could not be written beside contacts.txt (Is a "
                                     "directory)")) << messages[0].toStdString();
    EXPECT_EQ(slurp(file_), before);
    EXPECT_EQ(list(d)->topLevelItemCount(), 2);
    // Once the way is clear, OK saves what the list still holds.
    fs::remove(blocker);
    button(d, "okButton")->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(loadContacts(file_), (std::vector<Contact>{{"A", "a", "1"}, {"B", "b", "2"}}));

    // A read-only file is not replaced behind the user's back.
    fs::permissions(file_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string readOnly = slurp(file_);
    AddressBookDialog again(file_);
    again.messageSink = [&](const QString& text) { messages << text; };
    addRow(again, "C", "c", "3");
    button(again, "okButton")->click();
    EXPECT_NE(again.result(), QDialog::Accepted);
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].contains("contacts.txt is read-only.")) << messages[1].toStdString();
    EXPECT_EQ(slurp(file_), readOnly);
}

TEST_F(AddressBookDialogTest, DamageIsToldWhenTheBookOpens) {
    put("<contacts><contact><name>A</name><host>a</host><port>1</port></contact><contact><name>B");
    AddressBookDialog d(file_);
    QStringList messages;
    d.messageSink = [&](const QString& text) { messages << text; };
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    QTRY_COMPARE(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("contacts.txt could not be read whole")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains("contacts.txt.bak"));
    EXPECT_GE(list(d)->topLevelItemCount(), 1);
}

TEST_F(AddressBookDialogTest, AFileNotReadWholeIsKeptAsBakAndTheUserIsTold) {
    const std::string old =
        "<contacts><contact><name>A</name><host>a</host><port>1</port><note>friend</note></contact></contacts>";
    const fs::path backup = dir_ / "contacts.txt.bak";
    QStringList messages;
    auto addAndSave = [&] {
        AddressBookDialog d(file_);
        d.messageSink = [&](const QString& text) { messages << text; };
        EXPECT_EQ(list(d)->topLevelItemCount(), 1);
        addRow(d, "B", "b", "2");
        button(d, "okButton")->click();
    };
    put(old);
    addAndSave();
    EXPECT_EQ(slurp(backup), old);
    EXPECT_EQ(loadContacts(file_).size(), 2u);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("contacts.txt.bak")) << messages[0].toStdString();

    // The backup's name is taken: the file stays as it is, and the user knows.
    put(old);
    addAndSave();
    EXPECT_EQ(slurp(file_), old);
    EXPECT_EQ(slurp(backup), old);
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].contains("not saved")) << messages[1].toStdString();

    // A file read whole is replaced without a word.
    ASSERT_TRUE(saveContacts(file_, {{"A", "a", "1"}}));
    addAndSave();
    EXPECT_EQ(loadContacts(file_).size(), 2u);
    EXPECT_EQ(messages.size(), 2);
}

TEST_F(AddressBookDialogTest, UsesContactsTxtInTheCurrentDirectory) {
    ASSERT_TRUE(saveContacts(file_, {{"A", "a", "1"}}));
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    {
        AddressBookDialog d;
        EXPECT_EQ(list(d)->topLevelItemCount(), 1);
        addRow(d, "B", "b", "2");
        button(d, "okButton")->click();
    }
    fs::current_path(before);
    EXPECT_EQ(loadContacts(file_).size(), 2u);
}

TEST_F(AddressBookDialogTest, KeepsBytesThatAreNotValidText) {
    const std::string odd = "<contacts><contact><name>caf\xe9</name><host>h\xff</host><port>1</port></contact></contacts>";
    put(odd);
    AddressBookDialog d(file_);
    addRow(d, "B", "b", "2");
    button(d, "okButton")->click();
    const auto contacts = loadContacts(file_);
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(contacts[1], (Contact{"caf\xe9", "h\xff", "1"}));
}

TEST_F(AddressBookDialogTest, FindComputerButtonOnlyWithAHandler) {
    AddressBookDialog d(file_);
    d.setChosenHost("before");
    QPushButton* find = button(d, "findComputerButton");
    ASSERT_NE(find, nullptr);
    EXPECT_TRUE(find->isHidden());

    QWidget* seenParent = nullptr;
    QString answer = "found.local";
    d.setFindComputerHandler([&](QWidget* parent) {
        seenParent = parent;
        return answer;
    });
    EXPECT_FALSE(find->isHidden());
    EXPECT_EQ(find->text(), "Find computer");
    find->click();
    EXPECT_EQ(seenParent, &d);
    EXPECT_EQ(edit(d, "hostEdit")->text(), "found.local");
    answer.clear();
    find->click();
    EXPECT_EQ(edit(d, "hostEdit")->text(), "found.local");  // nothing chosen: unchanged

    d.setFindComputerHandler({});
    EXPECT_TRUE(find->isHidden());
}

TEST_F(AddressBookDialogTest, ColumnsShareTheListWidthAndTheListHasFocus) {
    ASSERT_TRUE(saveContacts(file_, {{"A", "a", "1"}}));
    AddressBookDialog d(file_);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    d.resize(600, 400);
    QApplication::processEvents();
    QTreeWidget* l = list(d);
    // The header reaches the right edge of the rows, not short of it.
    const int usable = l->viewport()->width();
    EXPECT_EQ(l->columnWidth(0), usable * 40 / 100);
    EXPECT_EQ(l->columnWidth(1), usable * 40 / 100);
    EXPECT_EQ(l->columnWidth(0) + l->columnWidth(1) + l->columnWidth(2), usable);
    EXPECT_EQ(QApplication::focusWidget(), l);
    EXPECT_TRUE(l->selectedItems().isEmpty());  // focus alone selects nothing
}

}  // namespace
}  // namespace ambrel
