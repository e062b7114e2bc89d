#include "app/BannerView.h"

#include <QDesktopServices>
#include <QFile>
#include <QScrollBar>
#include <QTextDocument>

#include "app/BannerFetcher.h"

// Resources of a static library are registered by hand, once.
static void registerAboutResources() { Q_INIT_RESOURCE(about); }

namespace ambrel {

void initAboutResources() {
    static const bool registered = (registerAboutResources(), true);
    (void)registered;
}

const char* const BannerView::kWebSite = "https://ambrel.example/";
const char* const BannerView::kStartPage = "qrc:/about/start.html";

BannerView::BannerView(QWidget* parent) : QTextBrowser(parent), fetcher_(new BannerFetcher(this)) {
    initAboutResources();
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    // A document of the view's own, not of its text control: showing a
    // page's document must not delete it.
    ownDocument_ = new QTextDocument(this);
    setDocument(ownDocument_);
    document()->setDocumentMargin(0);
    setOpenLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, [](const QUrl& url) {
        // Like a link opened in a new window: the desktop's browser shows it.
        if (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) {
            QDesktopServices::openUrl(url);
        }
    });
    connect(fetcher_, &BannerFetcher::pageFinished, this, &BannerView::onFetched);
    connect(fetcher_, &BannerFetcher::listFinished, this, &BannerView::onListFetched);

    rotation_.onFetch = [this](int index, uint64_t generation, const std::string& address) {
        quint64 ticket = nextTicket_++;
        pageTickets_.insert(ticket, qMakePair(static_cast<quint64>(generation), index));
        fetcher_->fetchPage(ticket, pageUrl(address), font());
    };
    rotation_.onShow = [this](const std::string& html) { showPage(html); };

    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, &BannerView::tick);
    timer_.start();
    loadStartPage();
}

BannerView::~BannerView() {
    // The text control must not outlive the page document it shows.
    useOwnDocument();
}

void BannerView::useOwnDocument() {
    if (document() == ownDocument_) return;
    setDocument(ownDocument_);
    shownDocument_.reset();
}

void BannerView::loadStartPage() {
    shown_.clear();
    useOwnDocument();
    setSource(QUrl(QString::fromLatin1(kStartPage)));
    // Loading a resource finishes at once; report it from the event loop so
    // that the window can set the banner server first.
    QTimer::singleShot(0, this, [this] {
        started_ = true;
        emit documentComplete();
        refreshList();
    });
}

QVariant BannerView::loadResource(int type, const QUrl& name) {
    if (name.scheme() == QLatin1String("qrc")) return QTextBrowser::loadResource(type, name);
    return QVariant();
}

void BannerView::setBannerServer(const QString& hostPort) {
    QString server = hostPort.trimmed();
    if (server.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) server.remove(0, 7);
    while (server.endsWith(QLatin1Char('/'))) server.chop(1);
    if (server == server_) return;
    server_ = server;
    if (started_) refreshList();
}

QString BannerView::listUrl() const {
    if (server_.isEmpty()) return QString();
    return QLatin1String("http://") + server_ + QString::fromLatin1(kBannerListPath.data(), kBannerListPath.size());
}

std::string BannerView::pageUrl(const std::string& address) const {
    if (address.find("://") != std::string::npos) return address;
    std::string url = "http://" + server_.toStdString();
    if (address.empty() || address.front() != '/') url += '/';
    return url + address;
}

int BannerView::fetchesOutstanding() const { return fetcher_->outstanding(); }

void BannerView::refreshList() {
    // Whatever the old list still fetches is of no use now; a hanging fetch
    // must not hold up the new list.
    fetcher_->cancelAll();
    rotation_.clear();
    pageTickets_.clear();
    pageDocuments_.clear();
    listTicket_ = 0;
    if (server_.isEmpty()) return;
    listTicket_ = nextTicket_++;
    fetcher_->fetchList(listTicket_, listUrl().toStdString(), "Ambrel");
}

void BannerView::onListFetched(quint64 ticket, bool ok, const std::vector<BannerItem>& items, const QString& error) {
    if (ticket != listTicket_) return;
    listTicket_ = 0;
    const QString address = listUrl();
    if (!ok) {
        noteAddress_ = address;
        setNote(QStringLiteral("Banner list %1: %2").arg(address, error));
        return;
    }
    if (noteAddress_ == address) setNote(QString());
    pageDocuments_.clear();
    rotation_.setItems(items);
}

void BannerView::onFetched(quint64 ticket, bool ok, const QByteArray& body,
                           const std::shared_ptr<QTextDocument>& document, const QString& error) {
    auto it = pageTickets_.find(ticket);
    if (it == pageTickets_.end()) return;  // a fetch of an older list
    auto [generation, index] = it.value();
    pageTickets_.erase(it);
    QString address;
    if (generation == rotation_.generation() && index >= 0 && index < static_cast<int>(rotation_.items().size()))
        address = QString::fromStdString(pageUrl(rotation_.items()[static_cast<std::size_t>(index)].address));
    // In place before the rotation may show the page.
    if (!address.isEmpty() && ok && document) pageDocuments_[index] = document;
    const int delay =
        rotation_.pageFetched(index, generation, ok, std::string(body.constData(), static_cast<std::size_t>(body.size())));
    // Pages the bounded cache let go take their documents with them.
    for (auto at = pageDocuments_.begin(); at != pageDocuments_.end();) {
        const auto entry = static_cast<std::size_t>(at->first);
        if (entry >= rotation_.items().size() || rotation_.items()[entry].content.empty())
            at = pageDocuments_.erase(at);
        else
            ++at;
    }
    if (address.isEmpty()) return;
    if (ok && !body.isEmpty()) {
        if (noteAddress_ == address) setNote(QString());
        return;
    }
    noteAddress_ = address;
    const QString why = ok ? QStringLiteral("an empty page") : error;
    setNote(delay > 0 ? QStringLiteral("Banner page %1: %2; tried again in %3 s").arg(address, why).arg(delay)
                      : QStringLiteral("Banner page %1: %2").arg(address, why));
}

void BannerView::setNote(const QString& note) {
    if (note.isEmpty()) noteAddress_.clear();
    note_ = note;
    setToolTip(note);
}

void BannerView::tick() { rotation_.tick(); }

void BannerView::showPage(const std::string& html) {
    shown_ = QString::fromUtf8(html.data(), static_cast<qsizetype>(html.size()));
    // The page's document was read on the fetch thread: showing it costs
    // the window only the layout of what is in view.
    auto found = pageDocuments_.find(rotation_.index());
    if (found != pageDocuments_.end()) {
        if (document() != found->second.get()) {
            setDocument(found->second.get());
            shownDocument_ = found->second;
        }
    } else {
        useOwnDocument();
        setHtml(shown_);
    }
    emit pageShown(shown_);
}

}  // namespace ambrel
