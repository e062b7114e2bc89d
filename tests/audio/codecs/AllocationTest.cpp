// Once its buffers are warm, no adapter allocates per frame: every frame of a
// call is encoded and decoded into reused buffers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "CodecTestSupport.h"
#include "audio/CodecTable.h"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace ambrel {
namespace {

TEST(CodecAllocation, NoAllocationPerFrameOnceWarm) {
    const CodecId ids[] = {0x81, 0x01, 0x82, 0x02, 0x83, 0x84, 0x85, 0x05, 0x86, 0x06,
                           0x87, 0x88, 0xA8, 0xC8, 0x89, 0xC9, 0x29};
    for (CodecId id : ids) {
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << int(id));
        CodecChoice choice = chooseCodec(id, 0);
        ASSERT_NE(choice.codec, nullptr);
        const std::size_t frame = choice.frameSamples;
        const std::vector<std::int16_t> speech = test::speechLike(choice.sampleRate, 1.0);
        const std::size_t frames = speech.size() / frame;
        std::vector<std::uint8_t> narrow(speech.size());
        for (std::size_t i = 0; i < speech.size(); ++i) narrow[i] = static_cast<std::uint8_t>((speech[i] >> 8) + 128);

        std::vector<std::uint8_t> encoded;
        std::vector<std::int16_t> decoded16;
        std::vector<std::uint8_t> decoded8;
        auto oneSecond = [&] {
            for (std::size_t f = 0; f < frames; ++f) {
                if (isSixteenBit(id)) {
                    choice.codec->encode16(speech.data() + f * frame, frame, encoded, false);
                    choice.codec->decode16(encoded.data(), encoded.size(), decoded16, false);
                } else {
                    choice.codec->encode8(narrow.data() + f * frame, frame, encoded, false);
                    choice.codec->decode8(encoded.data(), encoded.size(), decoded8, false);
                }
            }
        };
        oneSecond();  // buffers grow to their size
        const long before = allocations.load();
        oneSecond();
        EXPECT_EQ(allocations.load() - before, 0);
    }
}

}  // namespace
}  // namespace ambrel
