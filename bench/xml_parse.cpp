// Parse and write speed of the XML document library on 1 MB documents of
// several shapes, among them the ones that would turn a careless parser
// quadratic (deep nesting, many comments, a "<" that never closes).
#include <benchmark/benchmark.h>

#include <string>

#include "xml/XmlNode.h"

namespace {

constexpr std::size_t kSize = 1 << 20;

std::string addressBook(int indent) {
    ambrel::XmlNode root("contacts");
    std::string text;
    for (int i = 0; text.size() < kSize; ++i) {
        ambrel::XmlNode& c = root.addChild("contact");
        c.addChild("name", "Contact number " + std::to_string(i) + " & co");
        c.addChild("host", "host-" + std::to_string(i) + ".example.org");
        c.addChild("port", std::to_string(5000 + i % 1000));
        if (i % 256 == 0) text = root.toText(indent, true);
    }
    return root.toText(indent, true);
}

std::string repeatUntilFull(const std::string& head, const std::string& unit, const std::string& tail) {
    std::string text = head;
    while (text.size() + tail.size() < kSize) text += unit;
    return text + tail;
}

void parseDocument(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        ambrel::XmlNode node;
        benchmark::DoNotOptimize(node.parse(text));
        benchmark::DoNotOptimize(node.childCount());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_ParseAddressBookIndented(benchmark::State& state) { parseDocument(state, addressBook(0)); }
void BM_ParseAddressBookCompact(benchmark::State& state) { parseDocument(state, addressBook(-1)); }
void BM_ParseDeepNesting(benchmark::State& state) { parseDocument(state, repeatUntilFull("", "<n>", "")); }
void BM_ParseManyComments(benchmark::State& state) {
    parseDocument(state, repeatUntilFull("<a>", "x<!-- c --><?p?><!D>", "</a>"));
}
void BM_ParseUnclosedLessThan(benchmark::State& state) {
    parseDocument(state, repeatUntilFull("", "<n>text ", "<"));
}
void BM_ParseManyAttributes(benchmark::State& state) {
    parseDocument(state, repeatUntilFull("<a", " k='v&amp;'", "/>"));
}

void BM_WriteAddressBook(benchmark::State& state) {
    ambrel::XmlNode root;
    root.parse(addressBook(0));
    const int indent = static_cast<int>(state.range(0));
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = root.toText(indent, true);
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

}  // namespace

BENCHMARK(BM_ParseAddressBookIndented)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAddressBookCompact)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseDeepNesting)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseManyComments)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseUnclosedLessThan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseManyAttributes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteAddressBook)->Arg(0)->Arg(-1)->Unit(benchmark::kMillisecond);
