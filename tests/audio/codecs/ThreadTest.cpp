// One adapter encodes on one thread while it decodes on another, as in a
// call: recorder thread and voice link thread. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <thread>

#include "CodecTestSupport.h"
#include "audio/CodecTable.h"

namespace ambrel {
namespace {

void encodeWhileDecoding(CodecId id) {
    CodecChoice choice = chooseCodec(id, 0);
    ASSERT_NE(choice.codec, nullptr);
    const std::size_t frame = choice.frameSamples;
    const std::vector<std::int16_t> speech = test::speechLike(choice.sampleRate, 0.2);
    std::vector<std::uint8_t> narrow(frame);
    for (std::size_t i = 0; i < frame; ++i) narrow[i] = static_cast<std::uint8_t>((speech[i] >> 8) + 128);
    std::vector<std::uint8_t> encoded;
    choice.codec->encode8(narrow.data(), frame, encoded, false);
    const std::vector<std::uint8_t> received = encoded;

    constexpr int kFrames = 40;
    std::size_t encodedBytes = 0;
    std::size_t decodedSamples = 0;
    std::thread recorder([&] {
        std::vector<std::uint8_t> out;
        for (int i = 0; i < kFrames; ++i) encodedBytes += choice.codec->encode8(narrow.data(), frame, out, false);
    });
    std::thread link([&] {
        std::vector<std::uint8_t> out;
        for (int i = 0; i < kFrames; ++i) {
            decodedSamples += choice.codec->decode8(received.data(), received.size(), out, false);
        }
    });
    recorder.join();
    link.join();
    EXPECT_GT(encodedBytes, 0u);
    EXPECT_EQ(decodedSamples, kFrames * frame);
}

TEST(CodecThreads, EncodeAndDecodeRunOnTwoThreads) {
    for (CodecId id : {CodecId{0x01}, CodecId{0x02}, CodecId{0x03}, CodecId{0x04}, CodecId{0x05}, CodecId{0x06}, CodecId{0x08}, CodecId{0x29}}) {
        SCOPED_TRACE(testing::Message() << "id 0x" << std::hex << int(id));
        encodeWhileDecoding(id);
    }
}

}  // namespace
}  // namespace ambrel
