#include "app/BannerList.h"

#include <algorithm>
#include <climits>

namespace ambrel {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
    return text;
}

// atoi without its undefined overflow: sign, digits, clamped to int.
int secondsValue(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) {
            value = INT_MAX;
            break;
        }
    }
    return static_cast<int>(negative ? -value : value);
}

}  // namespace

std::vector<BannerItem> parseBannerList(std::string_view body) {
    std::vector<BannerItem> items;
    while (!body.empty()) {
        std::size_t lf = body.find('\n');
        std::string_view line = trimmed(body.substr(0, lf));
        body = lf == std::string_view::npos ? std::string_view() : body.substr(lf + 1);
        if (line.empty()) break;
        std::size_t gap = line.find_first_of(" \t");
        if (gap == std::string_view::npos) continue;
        BannerItem item;
        item.seconds = secondsValue(trimmed(line.substr(0, gap)));
        item.address = std::string(trimmed(line.substr(gap + 1)));
        items.push_back(std::move(item));
    }
    return items;
}

void BannerRotation::clear() {
    items_.clear();
    pending_.clear();
    index_ = -1;
    countdown_ = 0;
    ++generation_;
}

void BannerRotation::setItems(std::vector<BannerItem> items) {
    clear();
    items_ = std::move(items);
    for (BannerItem& item : items_) item.content.clear();
    pending_.assign(items_.size(), false);
    if (!items_.empty()) advance();
}

void BannerRotation::tick() {
    ++now_;
    if (items_.empty()) return;
    if (countdown_ > 0) {
        --countdown_;
    } else {
        advance();
    }
}

void BannerRotation::advance() {
    index_ = (index_ + 1) % static_cast<int>(items_.size());
    BannerItem& item = items_[static_cast<std::size_t>(index_)];
    countdown_ = item.seconds;
    if (!item.content.empty()) {
        item.lastUsed = ++uses_;
        if (onShow) onShow(item.content);
    } else if (!pending_[static_cast<std::size_t>(index_)] && now_ >= item.retryAt) {
        // The page shows when it arrives; until then the last page stays.
        pending_[static_cast<std::size_t>(index_)] = true;
        if (onFetch) onFetch(index_, generation_, item.address);
    }
}

int BannerRotation::pageFetched(int index, uint64_t generation, bool ok, std::string content) {
    if (generation != generation_ || index < 0 || index >= static_cast<int>(items_.size())) return 0;
    const auto at = static_cast<std::size_t>(index);
    pending_[at] = false;
    BannerItem& item = items_[at];
    if (!ok || content.empty()) {
        item.failures = std::min(item.failures + 1, 1000);
        const int delay = retryDelay(item.failures);
        item.retryAt = now_ + delay;
        return delay;
    }
    item.failures = 0;
    item.retryAt = 0;
    item.content = std::move(content);
    item.lastUsed = ++uses_;
    trimCache(at);
    if (index == index_ && onShow) onShow(item.content);
    return 0;
}

int BannerRotation::retryDelay(int failures) {
    if (failures <= 1) return 0;
    return std::min(30 << std::min(failures - 2, 6), 1800);
}

std::size_t BannerRotation::cachedBytes() const {
    std::size_t total = 0;
    for (const BannerItem& item : items_) total += item.content.size();
    return total;
}

void BannerRotation::trimCache(std::size_t keep) {
    std::size_t total = cachedBytes();
    while (total > kBannerCacheBytes) {
        BannerItem* oldest = nullptr;
        for (std::size_t i = 0; i < items_.size(); ++i) {
            BannerItem& item = items_[i];
            if (i == keep || item.content.empty()) continue;
            if (!oldest || item.lastUsed < oldest->lastUsed) oldest = &item;
        }
        if (!oldest) return;
        total -= oldest->content.size();
        std::string().swap(oldest->content);
    }
}

}  // namespace ambrel
