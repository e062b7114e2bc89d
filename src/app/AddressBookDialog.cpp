#include "app/AddressBookDialog.h"

#include <QEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

#include "app/ContactsFile.h"

namespace ambrel {

namespace {

enum Column { NameColumn = 0, HostColumn = 1, PortColumn = 2 };

// Each cell keeps the bytes it came from beside the text it shows, so rows
// loaded from the file are written back byte for byte even where the bytes
// are not valid in the local encoding.
constexpr int kBytesRole = Qt::UserRole;

// Size of the dialog and of the field row in dialog units (4 per average
// character width across, 8 per line height down).
constexpr int kDialogWidthDu = 258;
constexpr int kDialogHeightDu = 196;
constexpr int kNameEditDu = 93;
constexpr int kHostEditDu = 80;
constexpr int kPortEditDu = 32;
constexpr int kSmallButtonDu = 35;
constexpr int kButtonDu = 50;

QString fromBytes(const std::string& bytes) { return QString::fromLocal8Bit(bytes.data(), qsizetype(bytes.size())); }
std::string toBytes(const QString& text) { return text.toLocal8Bit().toStdString(); }

std::string cellBytes(const QTreeWidgetItem* item, int column) {
    return item->data(column, kBytesRole).toByteArray().toStdString();
}

bool nameLess(const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive) < 0; }

}  // namespace

AddressBookDialog::AddressBookDialog(QWidget* parent) : AddressBookDialog(kContactsFileName, parent) {}

AddressBookDialog::AddressBookDialog(std::filesystem::path file, QWidget* parent)
    : QDialog(parent), file_(std::move(file)) {
    setObjectName("AddressBookDialog");
    setWindowTitle("Contacts");
    buildControls();
    nameEdit_->setText(chosenName_);
    hostEdit_->setText(chosenHost_);
    portEdit_->setText(QString::number(chosenPort_));
    modified_ = false;
    messageSink = [this](const QString& text) { QMessageBox::warning(this, "Contacts", text); };
    load();
}

AddressBookDialog::~AddressBookDialog() = default;

void AddressBookDialog::buildControls() {
    const QFontMetrics fm(font());
    const auto duX = [&](int du) { return du * fm.averageCharWidth() / 4; };
    const auto duY = [&](int du) { return du * fm.height() / 8; };

    list_ = new QTreeWidget(this);
    list_->setObjectName("contactList");
    list_->setColumnCount(3);
    list_->setHeaderLabels({"Name", "IP", "Port"});
    list_->headerItem()->setTextAlignment(NameColumn, Qt::AlignCenter);
    list_->headerItem()->setTextAlignment(HostColumn, Qt::AlignLeft | Qt::AlignVCenter);
    list_->headerItem()->setTextAlignment(PortColumn, Qt::AlignRight | Qt::AlignVCenter);
    list_->header()->setSectionsClickable(false);
    list_->header()->setStretchLastSection(false);
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setAllColumnsShowFocus(true);
    list_->setMouseTracking(true);  // hover highlight across the whole row
    list_->setSortingEnabled(false);  // the dialog keeps the order itself
    list_->viewport()->installEventFilter(this);  // its width changes with the scroll bar too

    nameEdit_ = new QLineEdit(this);
    nameEdit_->setObjectName("nameEdit");
    hostEdit_ = new QLineEdit(this);
    hostEdit_->setObjectName("hostEdit");
    portEdit_ = new QLineEdit(this);
    portEdit_->setObjectName("portEdit");
    portEdit_->setAlignment(Qt::AlignRight);

    auto* addButton = new QPushButton("&Add", this);
    addButton->setObjectName("addButton");
    addButton->setAutoDefault(false);
    auto* removeButton = new QPushButton("&Remove", this);
    removeButton->setObjectName("removeButton");
    removeButton->setAutoDefault(false);
    auto* changeButton = new QPushButton("C&hange", this);
    changeButton->setObjectName("changeButton");
    changeButton->setAutoDefault(false);
    changeButton->setToolTip("Replace the selected contact by the name, address and port above");
    findButton_ = new QPushButton("Find computer", this);
    findButton_->setObjectName("findComputerButton");
    findButton_->setAutoDefault(false);
    findButton_->setVisible(false);
    auto* okButton = new QPushButton("OK", this);
    okButton->setObjectName("okButton");
    okButton->setDefault(true);
    auto* cancelButton = new QPushButton("Cancel", this);
    cancelButton->setObjectName("cancelButton");
    cancelButton->setAutoDefault(false);

    for (QPushButton* b : {addButton, removeButton, changeButton}) b->setMinimumWidth(duX(kSmallButtonDu));
    for (QPushButton* b : {okButton, cancelButton}) b->setMinimumWidth(duX(kButtonDu));
    nameEdit_->setMinimumWidth(duX(kNameEditDu) / 2);
    hostEdit_->setMinimumWidth(duX(kHostEditDu) / 2);
    portEdit_->setMinimumWidth(duX(kPortEditDu));

    auto* fields = new QGridLayout;
    // A character's width between columns, so that "IP address or
    // hostname" and "Port" never touch.
    fields->setHorizontalSpacing(duX(4));
    fields->addWidget(new QLabel("Name", this), 0, 0);
    fields->addWidget(new QLabel("IP address or hostname", this), 0, 1);
    fields->addWidget(new QLabel("Port", this), 0, 2);
    fields->addWidget(nameEdit_, 1, 0);
    fields->addWidget(hostEdit_, 1, 1);
    fields->addWidget(portEdit_, 1, 2);
    fields->addWidget(addButton, 1, 3);
    fields->setColumnStretch(0, kNameEditDu);
    fields->setColumnStretch(1, kHostEditDu);
    fields->setColumnStretch(2, kPortEditDu);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(removeButton);
    buttons->addWidget(changeButton);
    buttons->addWidget(findButton_);
    buttons->addStretch(1);
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(duX(7), duY(7), duX(7), duY(7));
    layout->addWidget(list_, 1);
    layout->addSpacing(duY(2));
    layout->addLayout(fields);
    layout->addSpacing(duY(12));
    layout->addLayout(buttons);

    resize(duX(kDialogWidthDu), duY(kDialogHeightDu));

    setTabOrder(list_, nameEdit_);
    setTabOrder(nameEdit_, hostEdit_);
    setTabOrder(hostEdit_, portEdit_);
    setTabOrder(portEdit_, addButton);
    setTabOrder(addButton, removeButton);
    setTabOrder(removeButton, changeButton);
    setTabOrder(changeButton, findButton_);
    setTabOrder(findButton_, okButton);
    setTabOrder(okButton, cancelButton);

    connect(addButton, &QPushButton::clicked, this, [this] { add(); });
    connect(removeButton, &QPushButton::clicked, this, [this] { remove(); });
    connect(changeButton, &QPushButton::clicked, this, [this] { change(); });
    // A selected row fills the fields, to be changed or added again.
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        const QList<QTreeWidgetItem*> selected = list_->selectedItems();
        if (selected.isEmpty()) return;
        const QTreeWidgetItem* item = selected.first();
        nameEdit_->setText(item->text(NameColumn));
        hostEdit_->setText(item->text(HostColumn));
        portEdit_->setText(item->text(PortColumn));
    });
    connect(findButton_, &QPushButton::clicked, this, [this] { findComputer(); });
    connect(okButton, &QPushButton::clicked, this, [this] { ok(); });
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { ok(); });
}

void AddressBookDialog::setChosenHost(const QString& host) {
    chosenHost_ = host;
    hostEdit_->setText(host);
}

void AddressBookDialog::setChosenPort(int port) {
    chosenPort_ = port;
    portEdit_->setText(QString::number(port));
}

void AddressBookDialog::setFindComputerHandler(std::function<QString(QWidget*)> handler) {
    findComputerHandler_ = std::move(handler);
    findButton_->setVisible(static_cast<bool>(findComputerHandler_));
}

void AddressBookDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    sizeColumns();
    list_->setFocus();
    // Damage is told when the book opens, not only when a save keeps it.
    if (!fileWhole_ && !damageTold_) {
        damageTold_ = true;
        const QString name = QString::fromStdString(file_.filename().string());
        const QString backup = QString::fromStdString(contactsBackupName(file_.filename()).string());
        QTimer::singleShot(0, this, [this, name, backup] {
            if (messageSink)
                messageSink(QString("%1 could not be read whole: it is damaged, unreadable or holds more than "
                                    "this list shows. Saving keeps the earlier file as %2.")
                                .arg(name, backup));
        });
    }
}

bool AddressBookDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::Resize) sizeColumns();
    return QDialog::eventFilter(watched, event);
}

void AddressBookDialog::sizeColumns() {
    // The header spans the rows' whole width: the viewport, which leaves
    // out the frame and a vertical scroll bar; the port column takes what
    // rounding leaves over.
    const int usable = std::max(0, list_->viewport()->width());
    list_->setColumnWidth(NameColumn, usable * 40 / 100);
    list_->setColumnWidth(HostColumn, usable * 40 / 100);
    list_->setColumnWidth(PortColumn, usable - 2 * (usable * 40 / 100));
}

void AddressBookDialog::load() {
    list_->clear();
    ContactsBook book = readContacts(file_);
    fileWhole_ = book.whole;
    std::vector<Contact>& contacts = book.contacts;
    std::stable_sort(contacts.begin(), contacts.end(), [](const Contact& a, const Contact& b) {
        return nameLess(fromBytes(a.name), fromBytes(b.name));
    });
    for (const Contact& c : contacts) insertRow(c, false);
}

// Inserts after every row whose name does not sort after this one, which
// keeps rows of equal names in the order they arrived.
void AddressBookDialog::insertRow(const Contact& contact, bool select) {
    auto* item = new QTreeWidgetItem;
    const std::string* bytes[] = {&contact.name, &contact.host, &contact.port};
    for (int column = NameColumn; column <= PortColumn; ++column) {
        item->setText(column, fromBytes(*bytes[column]));
        item->setData(column, kBytesRole, QByteArray::fromStdString(*bytes[column]));
    }
    item->setTextAlignment(NameColumn, Qt::AlignCenter);
    item->setTextAlignment(HostColumn, Qt::AlignLeft | Qt::AlignVCenter);
    item->setTextAlignment(PortColumn, Qt::AlignRight | Qt::AlignVCenter);

    const QString name = item->text(NameColumn);
    int low = 0;
    int high = list_->topLevelItemCount();
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (nameLess(name, list_->topLevelItem(mid)->text(NameColumn))) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    list_->insertTopLevelItem(low, item);
    if (select) {
        list_->clearSelection();
        list_->setCurrentItem(item);
        item->setSelected(true);
        list_->scrollToItem(item);
    }
}

bool AddressBookDialog::save() {
    std::vector<Contact> contacts;
    contacts.reserve(static_cast<std::size_t>(list_->topLevelItemCount()));
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = list_->topLevelItem(row);
        contacts.push_back({cellBytes(item, NameColumn), cellBytes(item, HostColumn), cellBytes(item, PortColumn)});
    }
    const QString name = QString::fromStdString(file_.filename().string());
    const QString backup = QString::fromStdString(contactsBackupName(file_.filename()).string());
    std::string why;
    if (fileWhole_) {
        if (saveContacts(file_, contacts, &why)) return true;
        if (messageSink)
            messageSink(QString("The address book was not saved: %1\nThe list keeps your changes; OK tries again.")
                            .arg(fromBytes(why)));
        return false;
    }
    if (saveContactsKeepingOld(file_, contacts, &why)) {
        fileWhole_ = true;
        if (messageSink)
            messageSink(QString("%1 held more than this list could read. The earlier file was kept as %2.")
                            .arg(name, backup));
        return true;
    }
    if (messageSink)
        messageSink(QString("%1 could not be read whole, and the address book was not saved: %2\nThe "
                            "list keeps your changes; OK tries again.")
                        .arg(name, fromBytes(why)));
    return false;
}

std::optional<Contact> AddressBookDialog::fieldsContact() {
    const QString host = hostEdit_->text().trimmed();
    if (host.isEmpty()) {
        if (messageSink) messageSink("Enter the IP address or host name of the contact.");
        hostEdit_->setFocus();
        return std::nullopt;
    }
    const QString portText = portEdit_->text().trimmed();
    bool number = !portText.isEmpty() && portText.size() <= 5;
    for (QChar c : portText) number = number && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const int port = number ? portText.toInt() : 0;
    if (port < 1 || port > 65535) {
        if (messageSink) messageSink("Enter a port from 1 to 65535.");
        portEdit_->setFocus();
        portEdit_->selectAll();
        return std::nullopt;
    }
    return Contact{toBytes(nameEdit_->text()), toBytes(host), std::to_string(port)};
}

void AddressBookDialog::add() {
    const std::optional<Contact> contact = fieldsContact();
    if (!contact) return;
    chosenName_ = fromBytes(contact->name);
    chosenHost_ = fromBytes(contact->host);
    chosenPort_ = portFromText(contact->port);
    insertRow(*contact, true);
    modified_ = true;
}

void AddressBookDialog::change() {
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) {
        if (messageSink) messageSink("Select the contact to change first.");
        return;
    }
    const std::optional<Contact> contact = fieldsContact();
    if (!contact) return;
    delete selected.first();
    insertRow(*contact, true);
    modified_ = true;
}

void AddressBookDialog::remove() {
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) return;
    delete selected.first();
    list_->clearSelection();
    modified_ = true;
}

void AddressBookDialog::ok() {
    if (modified_) {
        // A failed save keeps the dialog open with everything in it.
        if (!save()) return;
        modified_ = false;
    }
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) {
        reject();
        return;
    }
    const QTreeWidgetItem* item = selected.first();
    chosenName_ = item->text(NameColumn);
    chosenHost_ = item->text(HostColumn);
    chosenPort_ = portFromText(cellBytes(item, PortColumn));
    accept();
}

void AddressBookDialog::findComputer() {
    if (!findComputerHandler_) return;
    const QString host = findComputerHandler_(this);
    if (!host.isEmpty()) hostEdit_->setText(host);
}

}  // namespace ambrel
