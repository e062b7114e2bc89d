#include "app/CallController.h"

#include <QCoreApplication>
#include <QTimer>
#include <arpa/inet.h>
#include <system_error>
#include <thread>

#include "link/LinkMessages.h"

namespace ambrel {

CallController::CallController(const AppSettings& settings, std::unique_ptr<VoiceLink> link, CallView& view,
                               QObject* levelReceiver, LinkStarter starter)
    : settings_(settings), link_(std::move(link)), view_(view), levelReceiver_(levelReceiver),
      starter_(std::move(starter)) {
    if (!starter_) {
        starter_ = [](VoiceLink& link) {
            link.create();
            link.start();
        };
    }
    resolver_ = [](const std::string& host) { return resolveAll(host.c_str()); };
}

CallController::~CallController() { shutdown(); }

void CallController::initialize() {
    view_.setCallButtons(true, true, false);
    view_.setHostAndPort(settings_.host, settings_.port);

    link_->setDestinations(settings_.destinations);
    if (!settings_.destinations.empty()) {
        oneToMany_ = true;
        view_.enterOneToManyMode();
        showStatus("One-to-many mode.");
    }

    link_->setOutputDevice(settings_.playingDeviceIndex);
    link_->setPlayMuted(!settings_.playEnabled);
    link_->setSendMuted(!settings_.sendEnabled);
    link_->setIdleTimeout(settings_.timeout);
    if (settings_.autoListen) link_->setOwnListenPort(settings_.port);
    speakersMuted_ = !settings_.playEnabled;
    microphoneMuted_ = !settings_.sendEnabled;

    link_->setOwner(this);
    startLink();

    if (link_->guard().active()) {
        auto* dropTimer = new QTimer(this);
        connect(dropTimer, &QTimer::timeout, this, &CallController::reportDrops);
        dropTimer->start(kDropReportMs);
    }

    if (started_ && settings_.autoConnect)
        connectToPeer();
    else if (started_ && settings_.autoListen)
        listenForPeer();
    view_.showMuteStates(speakersMuted_, microphoneMuted_);
}

bool CallController::startLink() {
    try {
        starter_(*link_);
        started_ = true;
        view_.showSoundProblem("");
        return true;
    } catch (const Exception&) {
    }
    std::string why = diagnosis_ ? diagnosis_() : std::string();
    if (why.empty()) why = "The sound could not be started.";
    showStatus("Failed to initialize Sound Card!");
    view_.showSoundProblem(why + "\nConnect and Listen try again.");
    return false;
}

void CallController::connectToPeer() {
    std::optional<int> port = view_.portValue();
    if (!port || (!started_ && !startLink())) return;
    std::string host = view_.hostText();
    // Addresses and empty text need no name server; one-to-many mode sends to
    // the destinations and ignores the host.
    SocketAddress numeric;
    if (oneToMany_ || host.empty() || parseAddressLiteral(host, numeric) || !resolver_) {
        connectToAddress(host, *port);
        return;
    }
    cancelLookup();
    dialled_.clear();  // until the name is found
    auto lookup = std::make_shared<Lookup>();
    lookup->owner = this;
    lookup_ = lookup;
    view_.setCallButtons(false, false, true);
    showStatus("Looking up the host...");
    // Resolver thread: its result goes to the user-interface thread.
    auto resolve = [lookup, resolver = resolver_, host, port = *port] {
        std::vector<SocketAddress> addresses;
        try {
            addresses = resolver(host);
        } catch (...) {
        }
        std::lock_guard<std::mutex> guard(lookup->lock);
        if (CallController* owner = lookup->owner) {
            QMetaObject::invokeMethod(owner, [owner, lookup, host, addresses, port] {
                if (owner->lookup_ != lookup) return;  // cancelled meanwhile
                owner->lookup_.reset();
                owner->view_.setCallButtons(true, !owner->oneToMany_, false);
                if (!addresses.empty())
                    owner->connectToAddresses(host, addresses, port);
                else
                    owner->showStatus("Error> Can't connect to the peer!");
            }, Qt::QueuedConnection);
        }
    };
    try {
        std::thread(std::move(resolve)).detach();
    } catch (const std::system_error&) {
        cancelLookup();
        view_.setCallButtons(true, !oneToMany_, false);
        showStatus("Error> Can't connect to the peer!");
    }
}

void CallController::connectToAddress(const std::string& host, int port) {
    dialled_ = bracketedHost(host) + ":" + std::to_string(port);
    try {
        link_->connect(host.c_str(), port);
    } catch (const UnknownHostException&) {
        dialled_.clear();
        showStatus("Error> Can't connect to the peer!");
    } catch (const Exception&) {
        showStatus("Error> Can't connect to the peer!");
    }
}

void CallController::connectToAddresses(const std::string& host, const std::vector<SocketAddress>& addresses,
                                        int port) {
    dialled_ = bracketedHost(host) + ":" + std::to_string(port);
    try {
        link_->connectTo(addresses, port);
    } catch (const Exception&) {
        showStatus("Error> Can't connect to the peer!");
    }
}

// User-interface thread.
void CallController::cancelLookup() {
    std::shared_ptr<Lookup> lookup = std::move(lookup_);
    if (!lookup) return;
    std::lock_guard<std::mutex> guard(lookup->lock);
    lookup->owner = nullptr;
}

void CallController::listenForPeer() {
    std::optional<int> port = view_.portValue();
    if (!port || (!started_ && !startLink())) return;
    try {
        link_->listen("::", *port);
        // Port 0 lets the system choose: the port it chose is kept, so the
        // copy listens there again after a call, and the port field says
        // which it is.
        if (*port == 0) view_.setHostAndPort(view_.hostText(), link_->localPort());
        if (link_->listensOnIpv4Only() && !ipv4OnlySaid_) {
            ipv4OnlySaid_ = true;
            view_.showNotice("IPv6 is not available here: listening on IPv4 only");
        }
    } catch (const Exception&) {
        // The port is in use or cannot be bound: no notification follows, so
        // the buttons stay as they are.
        showStatus("Error> Can't listen on the port!");
    }
}

void CallController::disconnectCall() {
    if (lookup_) {
        // Nothing to end but the lookup, which is dropped.
        cancelLookup();
        onLinkMessage(WM_LINK_DISCONNECTED);
        return;
    }
    link_->disconnect();
    // The worker posts WM_LINK_DISCONNECTED when it ends a call it has begun;
    // a disconnect that comes before the worker noticed the call (it looks
    // every few hundred milliseconds) ends it silently, which would leave only
    // Disconnect enabled for good. So if nothing arrives in time and the link
    // is idle, the notification is handled here; a late real one is a harmless
    // repeat.
    awaitingDisconnect_ = true;
    QTimer::singleShot(kDisconnectGraceMs, this, [this] {
        if (awaitingDisconnect_ && link_->state() == VoiceLink::Idle) onLinkMessage(WM_LINK_DISCONNECTED);
    });
}

void CallController::setSpeakersMuted(bool muted) {
    speakersMuted_ = muted;
    link_->setPlayMuted(muted);
    view_.showMuteStates(speakersMuted_, microphoneMuted_);
}

void CallController::setMicrophoneMuted(bool muted) {
    microphoneMuted_ = muted;
    link_->setSendMuted(muted);
    view_.showMuteStates(speakersMuted_, microphoneMuted_);
}

void CallController::reportDrops() {
    DropReport report = link_->guard().takeDrops();
    if (report.total > 0) view_.showNotice(dropText(report));
    if (report.otherVersion > 0) view_.showNotice("the peer seals with another version");
    if (report.plainPeer > 0) view_.showNotice("the peer does not seal its calls");
    if (report.unsealable > 0)
        view_.showNotice("Not sent: " + std::to_string(report.unsealable) + " datagrams too large to seal");
}

std::string CallController::dropText(const DropReport& report) {
    std::string text = "Ignored " + std::to_string(report.total) + (report.total == 1 ? " datagram" : " datagrams") +
                       " from " + report.topSource.text();
    if (report.sources > 1) {
        text += " and " + std::to_string(report.sources - 1);
        text += report.sources == 2 ? " other address" : " other addresses";
    }
    return text;
}

void CallController::shutdown() {
    cancelLookup();
    if (stopped_ || !link_) return;
    stopped_ = true;
    link_->disconnect();
    link_->disconnect();
    link_->stop(true);
}

void CallController::hangUpAndShutdown() {
    const bool busy = link_ && !stopped_ && link_->state() != VoiceLink::Idle;
    shutdown();
    if (busy) showStatus("Disconnected.");
}

void CallController::postLinkMessage(int message) {
    QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(message)));
}

void CallController::reportLevels(int inputLevel, int outputLevel) {
    if (levelReceiver_) QCoreApplication::postEvent(levelReceiver_, new LevelsEvent(inputLevel, outputLevel));
}

bool CallController::event(QEvent* event) {
    int type = static_cast<int>(event->type());
    if (type == WM_LINK_LISTENING || type == WM_LINK_CONNECTED || type == WM_LINK_DISCONNECTED ||
        type == WM_LINK_NO_ANSWER) {
        onLinkMessage(type);
        return true;
    }
    return QObject::event(event);
}

void CallController::onLinkMessage(int message) {
    // Messages still queued when the window closes are dropped: the link is
    // stopped and nothing may start again.
    if (stopped_) return;
    switch (message) {
    case WM_LINK_LISTENING:
        view_.setCallButtons(false, false, true);
        showStatus("Listening...");
        break;
    case WM_LINK_CONNECTED:
        // The link posts this just after it saw the call connected; a
        // disconnect and a new listen in between make it stale.
        if (link_->state() != VoiceLink::Connected) break;
        view_.setCallButtons(false, false, true);
        showStatus("Connected.");
        break;
    case WM_LINK_DISCONNECTED:
        awaitingDisconnect_ = false;
        // A listen shows its state at once, so a notification that finds the
        // link listening is stale: the repeat of one that made it listen
        // again, or the end of a call that came before a new listen.
        if (link_->state() == VoiceLink::Listening) break;
        view_.setCallButtons(true, !oneToMany_, false);
        showStatus("Disconnected.");
        // The link posts this twice for one call; a repeat that finds the link
        // already busy again (the first one reconnected) changes nothing more.
        if (link_->state() == VoiceLink::Idle) {
            if (settings_.autoConnect)
                connectToPeer();
            else if (settings_.autoListen)
                listenForPeer();
        }
        break;
    case WM_LINK_NO_ANSWER:
        // The call goes on; the link repeats this at most every few seconds.
        if (link_->state() == VoiceLink::Connected) view_.showNotice("No answer from " + dialled_);
        break;
    default:
        break;
    }
}

void CallController::showStatus(const std::string& text) {
    status_ = text;
    view_.showStatus(text);
    emit statusChanged(QString::fromStdString(text));
}

}  // namespace ambrel
