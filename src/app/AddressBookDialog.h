// The address book: a modal "Contacts" dialog that keeps a list of peers
// (name, host, port) in "contacts.txt" and lets the user pick one.
//
// Caller contract (the main window's address book button):
//
//   AddressBookDialog book(this);
//   book.setChosenHost(hostText);      // the current host and port; the name
//   book.setChosenPort(port);          // stays empty
//   if (book.exec() == QDialog::Accepted) {
//       hostText = book.chosenHost();  // copy back into the host and port
//       port = book.chosenPort();      // fields and show them
//   }                                  // Rejected: change nothing
//
// exec() gives Accepted only when OK is pressed (or a row double-clicked)
// with a row selected; the chosen host and port are then that row's. OK with
// no row selected still saves the changes made in this opening but gives
// Rejected. Cancel (or Escape, or closing the window) saves nothing.
//
// The file is read once, when the dialog is constructed (from the current
// directory unless another path is given), and written at most once, on OK
// after an Add, a Change or a Remove. A missing or damaged file gives an
// empty or partial list; damage is told when the dialog is first shown. A
// save replaces the file in one step, so it never loses the old address book;
// a failed save (a read-only file or folder, a full disk) says why and keeps
// the dialog open with the list as it was, so OK can try again or Cancel
// give up. A file that was not read whole (unreadable, damaged, or holding
// more than contacts) is kept as "contacts.txt.bak" by the save that replaces
// it, and the user is told; if that name is taken the save is refused and the
// user is told so. Add and Change take the fields only with a host and a
// port from 1 to 65535; selecting a row fills the fields with it. Rows are
// shown sorted by name (case-insensitively, equal names in the order they
// were added) and written in that order.
#pragma once

#include <QDialog>
#include <QString>

#include <filesystem>
#include <functional>
#include <optional>

#include "app/ContactsFile.h"

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace ambrel {

class AddressBookDialog : public QDialog {
    Q_OBJECT

public:
    // Uses "contacts.txt" in the current directory.
    explicit AddressBookDialog(QWidget* parent = nullptr);
    // Uses the address book file at `file`.
    explicit AddressBookDialog(std::filesystem::path file, QWidget* parent = nullptr);
    ~AddressBookDialog() override;

    // The chosen contact. Setting the host or port also fills the matching edit.
    void setChosenHost(const QString& host);
    void setChosenPort(int port);
    QString chosenName() const { return chosenName_; }
    QString chosenHost() const { return chosenHost_; }
    int chosenPort() const { return chosenPort_; }

    // Offers a "Find computer" button that calls `handler` with this dialog as
    // parent; a non-empty result becomes the host edit's text. An empty
    // handler removes the button again (it is absent by default).
    void setFindComputerHandler(std::function<QString(QWidget* parent)> handler);

    // The list widget's column widths follow the width of its rows (the
    // viewport, without frame and scroll bar): 40 %, 40 % and the rest.

    // Where the notes to the user go (a file not read whole, a failed save,
    // fields that are not a contact); the default shows a message box. Tests
    // replace it.
    std::function<void(const QString&)> messageSink;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void load();
    // False, after telling the user why, when the file was not written.
    bool save();
    // The fields as a contact, or nothing after telling the user what is wrong.
    std::optional<Contact> fieldsContact();
    void insertRow(const Contact& contact, bool select);
    void sizeColumns();

    void add();
    void remove();
    void change();
    void ok();
    void findComputer();

    std::filesystem::path file_;
    QTreeWidget* list_ = nullptr;
    QLineEdit* nameEdit_ = nullptr;
    QLineEdit* hostEdit_ = nullptr;
    QLineEdit* portEdit_ = nullptr;
    QPushButton* findButton_ = nullptr;
    std::function<QString(QWidget*)> findComputerHandler_;

    QString chosenName_;
    QString chosenHost_;
    int chosenPort_ = 0;
    bool modified_ = false;
    bool fileWhole_ = true;  // the file held nothing the list does not show
    bool damageTold_ = false;
};

}  // namespace ambrel
