// The banner list and its rotation, without Qt and without a network.
#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "app/BannerList.h"

namespace ambrel {
namespace {

TEST(BannerList, ParsesSecondsAndAddresses) {
    auto items = parseBannerList(
        "5 http://a.example/x\r\n"
        "\t7\t  http://b.example/y  \r\n"
        "no-gap-here\n"
        "-3 /minus.html\n"
        "many 99999999999 tail\n"
        "99999999999 /big.html\n"
        "10 c.html");
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[0].seconds, 5);
    EXPECT_EQ(items[0].address, "http://a.example/x");
    EXPECT_EQ(items[1].seconds, 7);
    EXPECT_EQ(items[1].address, "http://b.example/y");
    EXPECT_EQ(items[2].seconds, -3);
    EXPECT_EQ(items[3].seconds, 0);
    EXPECT_EQ(items[3].address, "99999999999 tail");
    EXPECT_EQ(items[4].seconds, INT_MAX);
    EXPECT_EQ(items[5].address, "c.html");
    for (const auto& item : items) EXPECT_TRUE(item.content.empty());
}

TEST(BannerList, StopsAtTheFirstEmptyLine) {
    EXPECT_TRUE(parseBannerList("\n5 http://a/x\n").empty());
    EXPECT_TRUE(parseBannerList("  \r\n5 http://a/x\n").empty());
    EXPECT_TRUE(parseBannerList("").empty());
    EXPECT_EQ(parseBannerList("1 a\n2 b\n\n3 c\n").size(), 2u);
}

// A rotation whose fetches answer at once ("page of <address>"), counting them.
struct Recorder {
    BannerRotation rotation;
    std::vector<std::string> shown;
    std::map<std::string, int> fetches;
    bool answer = true;
    std::vector<std::pair<int, uint64_t>> waiting;  // when answer is false

    Recorder() {
        rotation.onShow = [this](const std::string& html) { shown.push_back(html); };
        rotation.onFetch = [this](int index, uint64_t generation, const std::string& address) {
            ++fetches[address];
            if (answer) {
                rotation.pageFetched(index, generation, true, "page of " + address);
            } else {
                waiting.emplace_back(index, generation);
            }
        };
    }
    void set(std::vector<std::pair<int, std::string>> entries) {
        std::vector<BannerItem> items;
        for (auto& [seconds, address] : entries) items.push_back(BannerItem{address, "", seconds});
        rotation.setItems(std::move(items));
    }
};

TEST(BannerRotation, ZeroSecondsShowsForOneTick) {
    Recorder r;
    r.set({{0, "a"}, {0, "b"}});
    ASSERT_EQ(r.shown, std::vector<std::string>{"page of a"});
    r.rotation.tick();
    EXPECT_EQ(r.shown.back(), "page of b");
    r.rotation.tick();
    EXPECT_EQ(r.shown.back(), "page of a");
    EXPECT_EQ(r.shown.size(), 3u);
    EXPECT_EQ(r.fetches["a"], 1);
}

TEST(BannerRotation, TenSecondsIsReplacedAtTheEleventhTick) {
    Recorder r;
    r.set({{10, "a"}, {3, "b"}});
    ASSERT_EQ(r.shown.size(), 1u);
    for (int t = 1; t <= 10; ++t) {
        r.rotation.tick();
        EXPECT_EQ(r.shown.size(), 1u) << "tick " << t;
    }
    r.rotation.tick();
    ASSERT_EQ(r.shown.size(), 2u);
    EXPECT_EQ(r.shown.back(), "page of b");
    EXPECT_EQ(r.rotation.countdown(), 3);
}

TEST(BannerRotation, OneEntryIsFetchedOnceAndShownAtEveryWrap) {
    Recorder r;
    r.set({{0, "only"}});
    for (int t = 0; t < 20; ++t) r.rotation.tick();
    EXPECT_EQ(r.fetches["only"], 1);
    EXPECT_EQ(r.shown.size(), 21u);
    EXPECT_EQ(r.rotation.index(), 0);
}

TEST(BannerRotation, EmptyListDoesNothing) {
    Recorder r;
    r.set({});
    r.rotation.tick();
    EXPECT_TRUE(r.shown.empty());
    EXPECT_TRUE(r.fetches.empty());
    EXPECT_EQ(r.rotation.index(), -1);
}

TEST(BannerRotation, SlowFetchesAreAskedOnceAndShownWhenTheyArrive) {
    Recorder r;
    r.answer = false;
    r.set({{0, "a"}, {0, "b"}});
    r.rotation.tick();  // to b
    r.rotation.tick();  // back to a: its fetch is still under way
    EXPECT_EQ(r.fetches["a"], 1);
    EXPECT_EQ(r.fetches["b"], 1);
    EXPECT_TRUE(r.shown.empty());
    // b arrives while a is on show: kept, not shown.
    r.rotation.pageFetched(1, r.rotation.generation(), true, "B");
    EXPECT_TRUE(r.shown.empty());
    // a fails: nothing shown, and a is asked again at its next turn.
    r.rotation.pageFetched(0, r.rotation.generation(), false, "");
    r.rotation.tick();  // b, cached
    EXPECT_EQ(r.shown, std::vector<std::string>{"B"});
    r.rotation.tick();  // a again
    EXPECT_EQ(r.fetches["a"], 2);
    r.rotation.pageFetched(0, r.rotation.generation(), true, "A");
    EXPECT_EQ(r.shown.back(), "A");
}

TEST(BannerRotation, FailingPagesBackOffAndTheCacheStaysBounded) {
    Recorder r;
    r.answer = false;
    r.set({{0, "bad"}, {0, "good"}});
    int tries = 0;
    for (int t = 0; t < 300; ++t) {
        while (!r.waiting.empty()) {
            auto [index, generation] = r.waiting.back();
            r.waiting.pop_back();
            r.rotation.pageFetched(index, generation, index == 1, index == 1 ? "G" : "");
        }
        r.rotation.tick();
    }
    tries = r.fetches["bad"];
    // Once at start, once more at the next turn, then after 30, 60 and 120 s.
    EXPECT_EQ(tries, 5);
    EXPECT_EQ(r.fetches["good"], 1);
    EXPECT_EQ(BannerRotation::retryDelay(1), 0);
    EXPECT_EQ(BannerRotation::retryDelay(2), 30);
    EXPECT_EQ(BannerRotation::retryDelay(50), 1800);

    // Eight pages of 1 MB: never more than the cache's bytes kept, the page
    // on show among them.
    Recorder big;
    std::vector<std::pair<int, std::string>> entries;
    for (int i = 0; i < 8; ++i) entries.emplace_back(0, "p" + std::to_string(i));
    big.rotation.onFetch = [&big](int index, uint64_t generation, const std::string&) {
        big.rotation.pageFetched(index, generation, true, std::string(kBannerMaxBytes, static_cast<char>('a' + index)));
    };
    big.set(entries);
    for (int t = 0; t < 40; ++t) {
        big.rotation.tick();
        ASSERT_LE(big.rotation.cachedBytes(), kBannerCacheBytes);
        ASSERT_FALSE(big.rotation.items()[static_cast<std::size_t>(big.rotation.index())].content.empty());
    }
}

TEST(BannerRotation, ResultsOfAnOlderListAreIgnored) {
    Recorder r;
    r.answer = false;
    r.set({{0, "a"}});
    uint64_t old = r.rotation.generation();
    r.set({{0, "x"}});
    r.rotation.pageFetched(0, old, true, "stale");
    EXPECT_TRUE(r.shown.empty());
    EXPECT_TRUE(r.rotation.items()[0].content.empty());
    r.rotation.pageFetched(5, r.rotation.generation(), true, "out of range");
    EXPECT_TRUE(r.shown.empty());
}

}  // namespace
}  // namespace ambrel
