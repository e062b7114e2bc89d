// Fuzz target for the response parser: the bytes fed whole, fed in pieces, and
// read line by line through the line reader the way the client reads a head;
// and the same bytes as a chunked body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/HttpMessage.h"
#include "http/InputStream.h"

namespace {

using namespace ambrel;

// Hands out the input in pieces of a size taken from its first byte.
class PieceSource : public ByteSource {
public:
    PieceSource(std::string_view data, std::size_t piece) : data_(data), piece_(piece) {}
    int read(char* buffer, int size, int) override {
        if (data_.empty()) throw NoConnectionException();
        std::size_t n = std::min({data_.size(), piece_, static_cast<std::size_t>(size)});
        std::copy(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(n), buffer);
        data_.remove_prefix(n);
        return static_cast<int>(n);
    }

private:
    std::string_view data_;
    std::size_t piece_;
};

void check(bool condition) {
    if (!condition) std::abort();
}

void checkInvariants(const HttpResponse& r) {
    if (r.hasLength() == 1) check(static_cast<int64_t>(r.body().size()) <= r.contentLength());
    if (r.parseState() == HttpMessage::kComplete) check(r.hasLength() == 1);
    if (r.parseState() < HttpMessage::kBody) check(r.body().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t piece = size > 0 ? (data[0] % 17) + 1 : 1;

    HttpResponse whole;
    bool wholeFailed = false;
    try {
        whole.feed(input);
    } catch (const HttpException&) {
        wholeFailed = true;
    }
    checkInvariants(whole);

    HttpResponse pieces;
    bool piecesFailed = false;
    try {
        for (std::size_t at = 0; at < input.size(); at += piece) pieces.feed(input.substr(at, piece));
    } catch (const HttpException&) {
        piecesFailed = true;
    }
    checkInvariants(pieces);
    // Splitting the input never changes the outcome.
    check(wholeFailed == piecesFailed);
    if (!wholeFailed) {
        check(whole.statusCode == pieces.statusCode);
        check(whole.headers().size() == pieces.headers().size());
        check(whole.parseState() == pieces.parseState());
    }

    // The chunked body decoder: the same data and outcome however the bytes
    // arrive, never more data than bytes.
    ChunkedDecoder wholeChunks;
    std::string wholeData;
    std::size_t used = 0;
    bool chunksFailed = false;
    try {
        used = wholeChunks.feed(input, wholeData);
    } catch (const HttpException&) {
        chunksFailed = true;
    }
    check(used <= input.size() && wholeData.size() <= input.size());
    if (!chunksFailed && !wholeChunks.done()) check(used == input.size());
    ChunkedDecoder pieceChunks;
    std::string pieceData;
    bool pieceChunksFailed = false;
    try {
        for (std::size_t at = 0; at < input.size() && !pieceChunks.done(); at += piece)
            pieceChunks.feed(input.substr(at, piece), pieceData);
    } catch (const HttpException&) {
        pieceChunksFailed = true;
    }
    check(chunksFailed == pieceChunksFailed);
    if (!chunksFailed) {
        check(wholeData == pieceData);
        check(wholeChunks.done() == pieceChunks.done());
    }

    PieceSource source(input, piece);
    InputStream in(source);
    HttpResponse lines;
    try {
        while (lines.parseState() < HttpMessage::kBody && lines.headers().size() <= 1000) {
            std::string line(http::trim(in.readLine(0)));
            check(line.size() <= static_cast<std::size_t>(InputStream::kLineSizeLimit));
            lines.feed(line + "\r\n");
        }
    } catch (const Exception&) {
    }
    checkInvariants(lines);
    return 0;
}
