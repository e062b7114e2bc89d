// Fetches banner lists and pages on a worker thread of its own, so that a slow
// or unreachable banner server never blocks the user-interface thread. Results
// come back as queued calls on the thread that owns the fetcher. A body above
// kBannerMaxBytes is refused; a banner list is parsed on the worker too, and
// so is a page's HTML, into the document the view then only has to show.
#pragma once

#include <QByteArray>
#include <QFont>
#include <QObject>
#include <QTextDocument>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/BannerList.h"

namespace ambrel {

class HttpClient;

class BannerFetcher : public QObject {
    Q_OBJECT
public:
    explicit BannerFetcher(QObject* parent = nullptr);
    // Drops queued requests, aborts the one under way and waits for the worker
    // (only a host name lookup in progress can delay it).
    ~BannerFetcher() override;

    // Owner's thread: queues a GET of url; `finished` reports it under the same
    // ticket. A non-empty userAgent is sent as "User-Agent".
    void fetch(quint64 ticket, const std::string& url, const std::string& userAgent = {});
    // Owner's thread: as fetch, for a banner list: `listFinished` reports its
    // entries, parsed on the worker.
    void fetchList(quint64 ticket, const std::string& url, const std::string& userAgent = {});
    // Owner's thread: as fetch, for a banner page: `pageFinished` also hands
    // over the page as a document built on the worker, with `font` as its
    // default font, no margin, and no resources but the program's own
    // ("qrc:"). It belongs to the owner's thread.
    void fetchPage(quint64 ticket, const std::string& url, const QFont& font);

    // Seconds allowed for one fetch, redirects included.
    static constexpr int kTimeoutSeconds = 30;

    // Owner's thread: drops the queued requests and aborts the one under way
    // (it then reports a failure under its ticket).
    void cancelAll();

    // Requests queued or under way.
    int outstanding() const;

signals:
    // Owner's thread: the body of a 200 answer (ok), or a failure of any kind
    // with a few words on why ("larger than 1 MB", "no answer in time", ...).
    void finished(quint64 ticket, bool ok, QByteArray body, QString error);
    // Owner's thread: the entries of a fetched banner list, or a failure.
    void listFinished(quint64 ticket, bool ok, const std::vector<ambrel::BannerItem>& items, QString error);
    // Owner's thread: a page, and its document when it arrived.
    void pageFinished(quint64 ticket, bool ok, QByteArray body, std::shared_ptr<QTextDocument> document,
                      QString error);

private:
    struct Job {
        quint64 ticket;
        std::string url;
        std::string userAgent;
        enum Kind { kPlain, kList, kPage } kind = kPlain;
        QFont font;  // kPage
    };
    void queue(Job job);
    // Worker thread: runs the jobs one after the other, each with a new client.
    void run();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stop_ = false;
    int running_ = 0;
    HttpClient* current_ = nullptr;  // the client under way, for abort()
    std::thread worker_;
};

}  // namespace ambrel
