// "Find computer": lists the computers that announce services on the local
// network over DNS-SD (through the Avahi daemon) and returns the chosen one's
// host name. Where no Avahi daemon runs, the dialog says so.
//
// Use (user-interface thread): the main window's hidden button 1018 and the
// address book's hook both call
//     QString host = FindComputerDialog::findComputer(parentWidget);  // empty: cancelled
// e.g. contacts.setFindComputerHandler(&FindComputerDialog::findComputer).
#pragma once

#include <QDialog>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>

class QLabel;
class QListWidget;
class QPushButton;

namespace ambrel {

class FindComputerDialog : public QDialog {
    Q_OBJECT
public:
    static const char* const kTitle;  // "Find computer"

    // Starts browsing at once; the list fills while the dialog is open.
    explicit FindComputerDialog(QWidget* parent = nullptr);
    // Stops browsing (waits for Avahi's event thread).
    ~FindComputerDialog() override;

    // Runs the dialog modally: the chosen computer's host name, or empty when
    // the user cancelled or chose nothing.
    static QString findComputer(QWidget* parent);

    // The host name of the selected entry, empty when none is selected.
    QString chosenComputer() const;
    // The line above the list: browsing, found nothing, or why browsing is impossible.
    QString statusText() const;
    // Host names listed so far, in the order found.
    QStringList computers() const;
    // False when browsing could not start or has failed.
    bool browsing() const { return browsing_; }

    // Most entries listed; announcements beyond are ignored.
    static constexpr int kMaxComputers = 500;

private:
    struct Browse;
    friend struct Browse;

    // User-interface thread, posted from Avahi's event thread. A host stays
    // listed while at least one of its services is announced.
    void addComputer(const QString& hostName, const QString& address);
    void removeService(const QString& hostName);
    int rowOf(const QString& hostName) const;
    void browseFailed(const QString& why);
    void browseSettled();

    QLabel* status_;
    QListWidget* list_;
    QPushButton* ok_;
    bool browsing_ = false;
    QHash<QString, int> services_;  // lower-case host name -> services announced
    std::unique_ptr<Browse> browse_;
};

}  // namespace ambrel
