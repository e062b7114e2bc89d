// Throughput of the response parser, the line reader and the banner list parser.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "app/BannerList.h"
#include "http/HttpMessage.h"
#include "http/InputStream.h"

namespace {

using namespace ambrel;

const std::string kHead =
    "HTTP/1.1 200 OK\r\n"
    "Date: Wed, 09 Dec 2026 07:00:00 GMT\r\n"
    "Server: bench\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "Set-Cookie: session=0123456789abcdef; path=/\r\n"
    "Cache-Control: no-cache\r\n"
    "Connection: keep-alive\r\n"
    "Content-Length: 4096\r\n"
    "\r\n";

void BM_ResponseFeedWhole(benchmark::State& state) {
    std::string message = kHead + std::string(4096, 'x');
    for (auto _ : state) {
        HttpResponse r;
        r.feed(message);
        benchmark::DoNotOptimize(r.body().size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * message.size()));
}
BENCHMARK(BM_ResponseFeedWhole);

// A source that repeats one response forever.
class RepeatSource : public ByteSource {
public:
    explicit RepeatSource(std::string text) : text_(std::move(text)) {}
    int read(char* buffer, int size, int) override {
        int n = std::min<int>(size, static_cast<int>(text_.size() - at_));
        std::copy_n(text_.data() + at_, n, buffer);
        at_ = (at_ + static_cast<std::size_t>(n)) % text_.size();
        return n;
    }

private:
    std::string text_;
    std::size_t at_ = 0;
};

// The client's way through a head: line by line, each trimmed and fed.
void BM_HeadThroughLineReader(benchmark::State& state) {
    RepeatSource source(kHead);
    InputStream in(source);
    for (auto _ : state) {
        HttpResponse r;
        while (r.parseState() < HttpMessage::kBody) {
            std::string line(http::trim(in.readLine(-1)));
            r.feed(line + "\r\n");
        }
        benchmark::DoNotOptimize(r.statusCode);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kHead.size()));
}
BENCHMARK(BM_HeadThroughLineReader);

void BM_BannerList(benchmark::State& state) {
    std::string list;
    for (int i = 0; i < 100; ++i) list += std::to_string(i % 30) + "\thttp://banners.example/_banners/page" + std::to_string(i) + ".html\r\n";
    for (auto _ : state) benchmark::DoNotOptimize(parseBannerList(list).size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * list.size()));
}
BENCHMARK(BM_BannerList);

}  // namespace
