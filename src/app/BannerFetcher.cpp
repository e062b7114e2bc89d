#include "app/BannerFetcher.h"

#include <QMetaObject>
#include <QThread>
#include <QUrl>
#include <QVariant>

#include "http/HttpClient.h"

namespace ambrel {

namespace {

// A banner page: only the program's own resources load (a page from the
// network must not make the window read local files).
class BannerDocument : public QTextDocument {
public:
    QVariant loadResource(int type, const QUrl& name) override {
        if (name.scheme() == QLatin1String("qrc")) return QTextDocument::loadResource(type, name);
        return QVariant();
    }
};

// Worker thread: the page's HTML read into a document that then belongs to
// `owner`. Freed on its own thread (the last reference may go elsewhere).
std::shared_ptr<QTextDocument> pageDocument(const std::string& html, const QFont& font, QThread* owner) {
    auto* document = new BannerDocument;
    document->setDocumentMargin(0);
    document->setDefaultFont(font);
    document->setHtml(QString::fromUtf8(html.data(), static_cast<qsizetype>(html.size())));
    document->moveToThread(owner);
    return std::shared_ptr<QTextDocument>(document, [](QTextDocument* d) {
        if (QThread::currentThread() == d->thread())
            delete d;
        else
            d->deleteLater();
    });
}

}  // namespace

BannerFetcher::BannerFetcher(QObject* parent) : QObject(parent) {
    worker_ = std::thread([this] { run(); });
}

BannerFetcher::~BannerFetcher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        jobs_.clear();
        if (current_ != nullptr) current_->abort();
    }
    wake_.notify_all();
    worker_.join();
}

void BannerFetcher::queue(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void BannerFetcher::fetch(quint64 ticket, const std::string& url, const std::string& userAgent) {
    queue(Job{ticket, url, userAgent, Job::kPlain, {}});
}

void BannerFetcher::fetchList(quint64 ticket, const std::string& url, const std::string& userAgent) {
    queue(Job{ticket, url, userAgent, Job::kList, {}});
}

void BannerFetcher::fetchPage(quint64 ticket, const std::string& url, const QFont& font) {
    queue(Job{ticket, url, {}, Job::kPage, font});
}

void BannerFetcher::cancelAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.clear();
    if (current_ != nullptr) current_->abort();
}

int BannerFetcher::outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(jobs_.size()) + running_;
}

void BannerFetcher::run() {
    for (;;) {
        Job job;
        HttpClient client;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
            if (stop_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            current_ = &client;
            running_ = 1;
        }
        bool ok = false;
        std::string body;
        QString error;
        try {
            if (!job.userAgent.empty()) client.setHeader("User-Agent", job.userAgent);
            client.setTimeout(kTimeoutSeconds);
            client.setMaxBodySize(kBannerMaxBytes);
            client.get(job.url, body);
            ok = true;
        } catch (const HttpClient::BodyTooLargeException&) {
            error = QStringLiteral("larger than %1 MB").arg(kBannerMaxBytes / (1024 * 1024));
        } catch (const HttpClient::BadResponseException&) {
            int status = client.response().statusCode;
            if (status >= 301 && status <= 303)
                error = QStringLiteral("redirected to an address that is not followed");
            else if (status != 200 && status != 0)
                error = QStringLiteral("HTTP status %1").arg(status);
            else
                error = QStringLiteral("a malformed answer");
        } catch (const HttpClient::InvalidUrlException&) {
            error = QStringLiteral("not a usable address");
        } catch (const TimeoutException&) {
            error = QStringLiteral("no answer in time");
        } catch (const UnknownHostException&) {
            error = QStringLiteral("unknown host");
        } catch (const ConnectException&) {
            error = QStringLiteral("the server cannot be reached");
        } catch (const Exception&) {
            error = QStringLiteral("the connection failed");
        } catch (const std::exception& e) {
            error = QString::fromLocal8Bit(e.what());
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_ = nullptr;
            running_ = 0;
            if (stop_) return;
        }
        // Queued to the owner's thread; dropped by Qt if the fetcher is gone.
        quint64 ticket = job.ticket;
        if (job.kind == Job::kList) {
            std::vector<BannerItem> items;
            if (ok) items = parseBannerList(body);
            QMetaObject::invokeMethod(
                this, [this, ticket, ok, items = std::move(items), error] { emit listFinished(ticket, ok, items, error); },
                Qt::QueuedConnection);
            continue;
        }
        QByteArray bytes = ok ? QByteArray(body.data(), static_cast<qsizetype>(body.size())) : QByteArray();
        if (job.kind == Job::kPage) {
            std::shared_ptr<QTextDocument> document;
            if (ok && !body.empty()) document = pageDocument(body, job.font, thread());
            QMetaObject::invokeMethod(
                this, [this, ticket, ok, bytes, document, error] { emit pageFinished(ticket, ok, bytes, document, error); },
                Qt::QueuedConnection);
            continue;
        }
        QMetaObject::invokeMethod(
            this, [this, ticket, ok, bytes, error] { emit finished(ticket, ok, bytes, error); }, Qt::QueuedConnection);
    }
}

}  // namespace ambrel
