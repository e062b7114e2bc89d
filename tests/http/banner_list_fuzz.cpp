// Fuzz target for the banner list a banner server sends, and the rotation over
// whatever it yields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/BannerList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    auto items = ambrel::parseBannerList(body);
    std::size_t lines = 1;
    for (char c : body) lines += c == '\n';
    if (items.size() > lines) std::abort();
    for (const auto& item : items) {
        if (item.address.empty() || static_cast<unsigned char>(item.address.front()) <= 32 ||
            static_cast<unsigned char>(item.address.back()) <= 32 || !item.content.empty()) {
            std::abort();
        }
    }
    ambrel::BannerRotation rotation;
    int fetches = 0;
    rotation.onFetch = [&](int index, uint64_t generation, const std::string& address) {
        ++fetches;
        rotation.pageFetched(index, generation, (address.size() & 1) != 0, address);
    };
    rotation.onShow = [](const std::string& html) {
        if (html.empty()) std::abort();
    };
    rotation.setItems(std::move(items));
    for (int t = 0; t < 50; ++t) rotation.tick();
    if (!rotation.items().empty() && (rotation.index() < 0 || rotation.index() >= static_cast<int>(rotation.items().size()))) {
        std::abort();
    }
    return 0;
}
