#include "app/BannerFetcher.h"

#include <QMetaObject>

#include "http/HttpClient.h"

namespace ambrel {

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

void BannerFetcher::fetch(quint64 ticket, const std::string& url, const std::string& userAgent) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{ticket, url, userAgent});
    }
    wake_.notify_one();
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
        try {
            if (!job.userAgent.empty()) client.setHeader("User-Agent", job.userAgent);
            client.get(job.url, body);
            ok = true;
        } catch (const Exception&) {
            // The banner reports nothing: the page on show stays.
        } catch (const std::exception&) {
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_ = nullptr;
            running_ = 0;
            if (stop_) return;
        }
        // Queued to the owner's thread; dropped by Qt if the fetcher is gone.
        QByteArray bytes = ok ? QByteArray(body.data(), static_cast<qsizetype>(body.size())) : QByteArray();
        quint64 ticket = job.ticket;
        QMetaObject::invokeMethod(
            this, [this, ticket, ok, bytes] { emit finished(ticket, ok, bytes); }, Qt::QueuedConnection);
    }
}

}  // namespace ambrel
