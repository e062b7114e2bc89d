// The banner area of the main window: shows the start page from the program's
// resources, then (with a banner server) the pages of the server's banner
// list in turn, each for its display seconds.
//
// Use from the main window (user-interface thread):
//     auto* banner = new BannerView(parentWidget);   // start page, 1000 ms timer
//     banner->setBannerServer(QString::fromStdString(settings.bannerServer)); // "HOST[:PORT]" or empty
// Without a banner server the start page stays and nothing is fetched. Links
// open in the desktop's web browser. Fetches run on a worker thread; the
// window never waits for the network.
#pragma once

#include <QHash>
#include <QPair>
#include <QTextBrowser>
#include <QTimer>

#include <map>
#include <memory>

#include "app/BannerList.h"

namespace ambrel {

class BannerFetcher;

// Registers the start page, logo and icon of the about box and the banner
// (user-interface thread; repeated calls do nothing).
void initAboutResources();

class BannerView : public QTextBrowser {
    Q_OBJECT
public:
    // The address the start page's logo leads to.
    static const char* const kWebSite;
    // The start page inside the program's resources.
    static const char* const kStartPage;

    explicit BannerView(QWidget* parent = nullptr);
    ~BannerView() override;

    // "HOST[:PORT]" (a leading "http://" and a final "/" are accepted), or
    // empty for none. A change after the start page has loaded fetches the
    // list of the new server at once.
    void setBannerServer(const QString& hostPort);
    QString bannerServer() const { return server_; }
    // The banner list's address on the server, empty without a server.
    QString listUrl() const;

    // What the banner shows and its state, for the window and for tests.
    const BannerRotation& rotation() const { return rotation_; }
    // The page on show: empty for the start page.
    const QString& shownPage() const { return shown_; }
    // Requests sent to the banner server and not yet answered.
    int fetchesOutstanding() const;
    // The last problem with the list or a page (also the view's tooltip),
    // empty when there is none.
    const QString& note() const { return note_; }

public slots:
    // The timer's handler (every 1000 ms).
    void tick();

signals:
    // The start page has loaded; the banner list is then fetched again.
    void documentComplete();
    // A page of the list is now on show.
    void pageShown(const QString& html);

protected:
    // Only the program's own resources load: a banner page from the network
    // must not make the view read local files.
    QVariant loadResource(int type, const QUrl& name) override;

private:
    void loadStartPage();
    void refreshList();
    void onFetched(quint64 ticket, bool ok, const QByteArray& body, const std::shared_ptr<QTextDocument>& document,
                   const QString& error);
    // The view's own document back in place (for the start page, or a page
    // that has no document of its own).
    void useOwnDocument();
    void onListFetched(quint64 ticket, bool ok, const std::vector<BannerItem>& items, const QString& error);
    void setNote(const QString& note);
    void showPage(const std::string& html);
    // A page address of the list as a URL: relative ones lead to the banner server.
    std::string pageUrl(const std::string& address) const;

    BannerRotation rotation_;
    BannerFetcher* fetcher_;
    QTimer timer_;
    QString server_;
    QString shown_;
    QString note_;
    QTextDocument* ownDocument_ = nullptr;  // a child of the view
    // Documents of the fetched pages of the list on show, by entry; dropped
    // with the page's text when the rotation drops it.
    std::map<int, std::shared_ptr<QTextDocument>> pageDocuments_;
    std::shared_ptr<QTextDocument> shownDocument_;  // kept while on show
    QString noteAddress_;  // the page or list the note is about
    bool started_ = false;
    quint64 nextTicket_ = 1;
    quint64 listTicket_ = 0;
    // Ticket of a page fetch -> (list generation, entry index).
    QHash<quint64, QPair<quint64, int>> pageTickets_;
};

}  // namespace ambrel
