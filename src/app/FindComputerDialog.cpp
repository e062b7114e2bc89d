#include "app/FindComputerDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QPushButton>
#include <QVBoxLayout>

#include <map>
#include <string>
#include <vector>

#ifdef AMBREL_HAVE_AVAHI
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#endif

namespace ambrel {

const char* const FindComputerDialog::kTitle = "Find computer";

namespace {
constexpr int kHostRole = Qt::UserRole + 1;
}

#ifdef AMBREL_HAVE_AVAHI

// Browses every service type of the local domain, resolves each service to
// its host, and posts new hosts to the dialog. Every callback runs on the
// threaded poll's event thread; the destructor stops that thread first.
struct FindComputerDialog::Browse {
    // Bounds on what the network can make us hold.
    static constexpr std::size_t kMaxTypes = 200;
    static constexpr int kMaxResolvers = 64;

    FindComputerDialog* dialog;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    std::size_t types = 0;   // event thread only
    int resolvers = 0;       // event thread only
    // Resolved services (interface, protocol, name, type, domain) -> host
    // name, so that a service that goes away can be taken off its host.
    std::map<std::string, std::string> services;  // event thread only
    static constexpr std::size_t kMaxServices = 4000;

    explicit Browse(FindComputerDialog* d) : dialog(d) {}
    ~Browse() {
        if (poll != nullptr) avahi_threaded_poll_stop(poll);
        // Frees the browsers and resolvers with it.
        if (client != nullptr) avahi_client_free(client);
        if (poll != nullptr) avahi_threaded_poll_free(poll);
    }

    template <typename F>
    void post(F f) {
        QMetaObject::invokeMethod(dialog, std::move(f), Qt::QueuedConnection);
    }

    // Returns an empty text when browsing runs, else why it cannot.
    QString start() {
        poll = avahi_threaded_poll_new();
        if (poll == nullptr) return tr("Browsing the local network failed: out of memory.");
        int error = 0;
        client = avahi_client_new(avahi_threaded_poll_get(poll), static_cast<AvahiClientFlags>(0), &Browse::onClient,
                                  this, &error);
        if (client == nullptr) {
            return tr("No Avahi daemon is running, so the computers of the local network cannot be listed (%1).")
                .arg(QString::fromUtf8(avahi_strerror(error)));
        }
        AvahiServiceTypeBrowser* types = avahi_service_type_browser_new(
            client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, nullptr, static_cast<AvahiLookupFlags>(0), &Browse::onType, this);
        if (types == nullptr) {
            return tr("Browsing the local network failed (%1).")
                .arg(QString::fromUtf8(avahi_strerror(avahi_client_errno(client))));
        }
        if (avahi_threaded_poll_start(poll) < 0) return tr("Browsing the local network failed.");
        return QString();
    }

    static QString tr(const char* text) { return FindComputerDialog::tr(text); }

    static void onClient(AvahiClient* c, AvahiClientState state, void* data) {
        auto* self = static_cast<Browse*>(data);
        if (state == AVAHI_CLIENT_FAILURE) {
            QString why = QString::fromUtf8(avahi_strerror(avahi_client_errno(c)));
            FindComputerDialog* d = self->dialog;
            self->post([d, why] { d->browseFailed(tr("The Avahi daemon stopped answering (%1).").arg(why)); });
        }
    }

    static void onType(AvahiServiceTypeBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                       AvahiBrowserEvent event, const char* type, const char* domain, AvahiLookupResultFlags,
                       void* data) {
        auto* self = static_cast<Browse*>(data);
        FindComputerDialog* d = self->dialog;
        if (event == AVAHI_BROWSER_NEW && self->types < kMaxTypes) {
            if (avahi_service_browser_new(self->client, interface, protocol, type, domain,
                                          static_cast<AvahiLookupFlags>(0), &Browse::onService, self) != nullptr) {
                ++self->types;
            }
        } else if (event == AVAHI_BROWSER_ALL_FOR_NOW) {
            self->post([d] { d->browseSettled(); });
        } else if (event == AVAHI_BROWSER_FAILURE) {
            QString why = QString::fromUtf8(avahi_strerror(avahi_client_errno(self->client)));
            self->post([d, why] { d->browseFailed(tr("Browsing the local network failed (%1).").arg(why)); });
        }
    }

    static void onService(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                          AvahiLookupResultFlags, void* data) {
        auto* self = static_cast<Browse*>(data);
        if (event == AVAHI_BROWSER_REMOVE) {
            auto it = self->services.find(key(interface, protocol, name, type, domain));
            if (it == self->services.end()) return;
            QString host = QString::fromUtf8(it->second.c_str());
            self->services.erase(it);
            FindComputerDialog* d = self->dialog;
            self->post([d, host] { d->removeService(host); });
            return;
        }
        if (event != AVAHI_BROWSER_NEW || self->resolvers >= kMaxResolvers) return;
        if (avahi_service_resolver_new(self->client, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                                       static_cast<AvahiLookupFlags>(0), &Browse::onResolved, self) != nullptr) {
            ++self->resolvers;
        }
    }

    static std::string key(AvahiIfIndex interface, AvahiProtocol protocol, const char* name, const char* type,
                           const char* domain) {
        std::string k = std::to_string(interface) + '/' + std::to_string(protocol);
        for (const char* part : {name, type, domain}) {
            k += '/';
            if (part != nullptr) k += part;
        }
        return k;
    }

    static void onResolved(AvahiServiceResolver* r, AvahiIfIndex interface, AvahiProtocol protocol,
                           AvahiResolverEvent event, const char* name, const char* type, const char* domain,
                           const char* hostName, const AvahiAddress* a, uint16_t, AvahiStringList*,
                           AvahiLookupResultFlags, void* data) {
        auto* self = static_cast<Browse*>(data);
        if (event == AVAHI_RESOLVER_FOUND && hostName != nullptr && self->services.size() < kMaxServices &&
            self->services.emplace(key(interface, protocol, name, type, domain), hostName).second) {
            char text[AVAHI_ADDRESS_STR_MAX] = "";
            if (a != nullptr) avahi_address_snprint(text, sizeof text, a);
            QString host = QString::fromUtf8(hostName);
            QString address = QString::fromLatin1(text);
            FindComputerDialog* d = self->dialog;
            self->post([d, host, address] { d->addComputer(host, address); });
        }
        avahi_service_resolver_free(r);
        --self->resolvers;
    }
};

#else

struct FindComputerDialog::Browse {
    explicit Browse(FindComputerDialog*) {}
    QString start() { return FindComputerDialog::tr("This build of Ambrel cannot browse the local network."); }
};

#endif

FindComputerDialog::FindComputerDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr(kTitle));
    status_ = new QLabel(tr("Looking for computers on the local network..."), this);
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("computers"));
    list_->setMinimumSize(320, 200);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setEnabled(false);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::currentRowChanged, this, [this](int row) { ok_->setEnabled(row >= 0); });
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] { accept(); });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status_);
    layout->addWidget(list_, 1);
    layout->addWidget(buttons);

    browse_ = std::make_unique<Browse>(this);
    QString problem = browse_->start();
    if (problem.isEmpty()) {
        browsing_ = true;
    } else {
        browse_.reset();
        status_->setText(problem);
    }
}

FindComputerDialog::~FindComputerDialog() = default;

QString FindComputerDialog::findComputer(QWidget* parent) {
    FindComputerDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted) return QString();
    return dialog.chosenComputer();
}

QString FindComputerDialog::chosenComputer() const {
    QListWidgetItem* item = list_->currentItem();
    return item == nullptr ? QString() : item->data(kHostRole).toString();
}

QString FindComputerDialog::statusText() const { return status_->text(); }

QStringList FindComputerDialog::computers() const {
    QStringList names;
    for (int i = 0; i < list_->count(); ++i) names << list_->item(i)->data(kHostRole).toString();
    return names;
}

int FindComputerDialog::rowOf(const QString& hostName) const {
    for (int i = 0; i < list_->count(); ++i) {
        if (list_->item(i)->data(kHostRole).toString().compare(hostName, Qt::CaseInsensitive) == 0) return i;
    }
    return -1;
}

void FindComputerDialog::addComputer(const QString& hostName, const QString& address) {
    if (rowOf(hostName) >= 0) {
        ++services_[hostName.toLower()];
        return;
    }
    if (list_->count() >= kMaxComputers) return;
    services_[hostName.toLower()] = 1;
    auto* item = new QListWidgetItem(address.isEmpty() ? hostName : hostName + QStringLiteral("  (") + address +
                                                                          QStringLiteral(")"));
    item->setData(kHostRole, hostName);
    list_->addItem(item);
    status_->setText(tr("Computers on the local network:"));
}

void FindComputerDialog::removeService(const QString& hostName) {
    auto it = services_.find(hostName.toLower());
    if (it == services_.end() || --it.value() > 0) return;
    services_.erase(it);
    int row = rowOf(hostName);
    if (row >= 0) delete list_->takeItem(row);
}

void FindComputerDialog::browseFailed(const QString& why) {
    browsing_ = false;
    status_->setText(why);
}

void FindComputerDialog::browseSettled() {
    if (browsing_ && list_->count() == 0) status_->setText(tr("No computer on the local network has announced itself yet."));
}

}  // namespace ambrel
