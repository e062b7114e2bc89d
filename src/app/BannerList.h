// The banner list and its rotation: which page is on show, for how long, and
// which page still has to be fetched. Plain C++, no Qt; the banner view drives
// it on the user-interface thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel {

// The path of the banner list on the banner server.
inline constexpr std::string_view kBannerListPath = "/_banners/Ambrel.txt";
// The largest banner list or page fetched, in bytes: a larger one is refused
// (a banner is a small page; a huge one would stall the window that lays it out).
inline constexpr std::size_t kBannerMaxBytes = 1024 * 1024;
// Fetched pages kept at once, in bytes; the pages shown longest ago are
// dropped beyond it and fetched again at their next turn.
inline constexpr std::size_t kBannerCacheBytes = 4 * kBannerMaxBytes;

struct BannerItem {
    std::string address;  // page address
    std::string content;  // the page, empty until fetched
    int seconds = 0;      // display time
    int failures = 0;     // fetches that failed in a row
    int64_t retryAt = 0;  // rotation second before which no new fetch is made
    uint64_t lastUsed = 0;  // when the page was last shown or fetched, for the cache
};

// One entry per line (lines end at LF; each is trimmed of bytes of value 32
// or less, so CR LF works too): display seconds, a blank or a tab, the page
// address. Parsing stops at the first empty line; a line without a blank or
// tab is skipped. The seconds read like C's atoi (sign, digits, clamped).
std::vector<BannerItem> parseBannerList(std::string_view body);

// The rotation of the 1000 ms timer. Fetching is the caller's business: the
// rotation asks for a page through onFetch and is told the result through
// pageFetched, possibly many ticks later.
class BannerRotation {
public:
    // Asked to fetch the page of entry `index` of list `generation`.
    std::function<void(int index, uint64_t generation, const std::string& address)> onFetch;
    // Asked to show a page.
    std::function<void(const std::string& html)> onShow;

    // Empties the list (a refresh starts); later results of the old list are ignored.
    void clear();
    // A new list: when it is not empty, its first entry is advanced to.
    void setItems(std::vector<BannerItem> items);
    // One timer event: nothing without entries; else count down, or advance
    // when the countdown is over.
    void tick();
    // The page of entry `index` of list `generation` arrived (ok) or failed.
    // A fetched page is kept (within kBannerCacheBytes); it is shown when its
    // entry is on show. A failure (an empty page too) leaves the entry empty:
    // after the first it is fetched again at its next turn, after more it
    // waits retryDelay(failures) seconds first. Returns the seconds until
    // the next try after a failure, 0 otherwise.
    int pageFetched(int index, uint64_t generation, bool ok, std::string content);
    // Seconds a page waits after `failures` failures in a row: 0 after one,
    // then 30, 60, 120 ... up to 1800.
    static int retryDelay(int failures);
    // Bytes of pages kept.
    std::size_t cachedBytes() const;

    const std::vector<BannerItem>& items() const { return items_; }
    int index() const { return index_; }
    int countdown() const { return countdown_; }
    uint64_t generation() const { return generation_; }

private:
    void advance();
    void trimCache(std::size_t keep);

    std::vector<BannerItem> items_;
    std::vector<bool> pending_;  // a fetch is under way for the entry
    int index_ = -1;
    int countdown_ = 0;
    uint64_t generation_ = 0;
    int64_t now_ = 0;     // seconds of ticks so far
    uint64_t uses_ = 0;   // counts shows and fetches, for lastUsed
};

}  // namespace ambrel
