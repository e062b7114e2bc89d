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

struct BannerItem {
    std::string address;  // page address
    std::string content;  // the page, empty until fetched
    int seconds = 0;      // display time
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
    // A fetched page is kept; it is shown when its entry is on show. A
    // failure leaves the entry empty, to be fetched again at its next turn.
    void pageFetched(int index, uint64_t generation, bool ok, std::string content);

    const std::vector<BannerItem>& items() const { return items_; }
    int index() const { return index_; }
    int countdown() const { return countdown_; }
    uint64_t generation() const { return generation_; }

private:
    void advance();

    std::vector<BannerItem> items_;
    std::vector<bool> pending_;  // a fetch is under way for the entry
    int index_ = -1;
    int countdown_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace ambrel
