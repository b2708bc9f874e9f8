// Throughput of each codec in both directions through RunCodec over memory
// streams, so the figures include the engine's 8 KB buffering and its
// Sleep(0) after every refill and before every full write. Bytes processed
// are the uncompressed bytes in both directions; "ratio" is stored / plain.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "bench/BenchData.h"
#include <quern/CodecEngine.h>

using namespace quern;

namespace {

using bench::Bytes;
using bench::DataKind;

constexpr size_t PlainSize = 2 << 20;

struct Method {
    uint8_t type;
    const char* name;
};
constexpr Method Methods[] = {{ctRle, "RLE"}, {ctLzh, "LZH"}, {ctLh5, "LH5"}};
constexpr DataKind Kinds[] = {DataKind::Text, DataKind::Binary, DataKind::Random, DataKind::Runs};

CodecSettings Unbudgeted() {
    CodecSettings settings;
    settings.CompressReserve = -(1 << 30);  // random data grows; it must not raise
    return settings;
}

Bytes Compress(uint8_t method, const Bytes& plain) {
    TMemoryStream source(plain), dest;
    uint32_t sum = 0;
    RunCodec(dest, source, static_cast<int32_t>(plain.size()), 0, method, sum, false, false, Unbudgeted());
    return std::move(dest.Bytes());
}

const Bytes& Plain(DataKind kind) {
    static std::map<DataKind, Bytes> cache;
    auto it = cache.find(kind);
    if (it == cache.end()) it = cache.emplace(kind, bench::MakeData(kind, PlainSize)).first;
    return it->second;
}

const Bytes& Stored(uint8_t method, DataKind kind) {
    static std::map<std::pair<uint8_t, DataKind>, Bytes> cache;
    auto it = cache.find({method, kind});
    if (it == cache.end()) it = cache.emplace(std::make_pair(method, kind), Compress(method, Plain(kind))).first;
    return it->second;
}

void CompressBench(benchmark::State& state, uint8_t method, DataKind kind) {
    const Bytes& plain = Plain(kind);
    const CodecSettings settings = Unbudgeted();
    TMemoryStream dest;
    dest.Bytes().reserve(plain.size() + plain.size() / 4);
    for (auto _ : state) {
        TMemoryStream source(plain);
        dest.Bytes().clear();
        dest.SetPosition(0);
        uint32_t sum = 0;
        RunCodec(dest, source, static_cast<int32_t>(plain.size()), 0, method, sum, false, false, settings);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain.size()));
    state.counters["ratio"] = static_cast<double>(Stored(method, kind).size()) / static_cast<double>(plain.size());
}

void ExpandBench(benchmark::State& state, uint8_t method, DataKind kind) {
    const Bytes& plain = Plain(kind);
    const Bytes& stored = Stored(method, kind);
    TMemoryStream dest;
    dest.Bytes().reserve(plain.size() + 256);
    for (auto _ : state) {
        TMemoryStream source(stored);
        dest.Bytes().clear();
        dest.SetPosition(0);
        uint32_t sum = 0;
        RunCodec(dest, source, static_cast<int32_t>(stored.size()), static_cast<int32_t>(plain.size()), method, sum,
                 true, false, CodecSettings{});
        benchmark::DoNotOptimize(sum);
    }
    if (dest.Bytes() != plain) state.SkipWithError("the expansion did not give the input back");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain.size()));
    state.counters["ratio"] = static_cast<double>(stored.size()) / static_cast<double>(plain.size());
}

const bool registered = [] {
    for (const Method& m : Methods)
        for (DataKind kind : Kinds) {
            const std::string suffix = std::string(m.name) + "/" + bench::KindName(kind);
            benchmark::RegisterBenchmark(("Compress/" + suffix).c_str(), CompressBench, m.type, kind)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Expand/" + suffix).c_str(), ExpandBench, m.type, kind)
                ->Unit(benchmark::kMillisecond);
        }
    return true;
}();

}  // namespace
