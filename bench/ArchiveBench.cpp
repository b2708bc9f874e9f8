// Expanding a multi-entry archive of the kind a setup carries (mostly LH5,
// a few stored and RLE entries) from memory into files, and the listing walk
// alone. Bytes processed are the archive's uncompressed bytes.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include <quern/ArchiveWriter.h>
#include <quern/Quern.h>
#include "bench/BenchData.h"
#include <quern/Platform.h>

using namespace quern;

namespace {

using bench::Bytes;
using bench::DataKind;

struct SampleArchive {
    Bytes bytes;
    int64_t plainSize = 0;
    int entries = 0;
};

const SampleArchive& Sample() {
    static const SampleArchive sample = [] {
        TArchiveWriter writer;
        SampleArchive s;
        constexpr uint32_t date = 0x25616BC9;  // 1 November 1998, 13:30:18
        for (int i = 0; i < 24; ++i) {
            const DataKind kind = i % 3 == 0 ? DataKind::Binary : i % 3 == 1 ? DataKind::Text : DataKind::Runs;
            const uint8_t type = i % 8 == 7 ? ctNone : i % 8 == 6 ? ctRle : ctLh5;
            Bytes data = bench::MakeData(kind, 32768 + static_cast<size_t>(i) * 9000);
            s.plainSize += static_cast<int64_t>(data.size());
            writer.AddMemory("files\\entry" + std::to_string(i) + ".dat", std::move(data), date, 0x20, type);
        }
        s.entries = writer.Count();
        TMemoryStream out;
        writer.WriteToStream(out);
        s.bytes = std::move(out.Bytes());
        return s;
    }();
    return sample;
}

void ExpandArchive(benchmark::State& state) {
    const SampleArchive& sample = Sample();
    const std::string dir = platform::CreatePrivateDirectory(platform::TempPath(), "qbench");
    if (dir.empty()) {
        state.SkipWithError("no temporary directory");
        return;
    }
    TQuern quern;
    // Stored names are flattened into the one directory: the walk, the
    // codecs and the file writes are measured, not directory creation.
    int index = 0;
    quern.OnCheckFile = [&](std::string& path, TCProcessMode) { path = dir + "e" + std::to_string(index++); };
    for (auto _ : state) {
        index = 0;
        TMemoryStream archive(sample.bytes);
        quern.ExpandArchiveStream(archive, nullptr);
    }
    if (index != sample.entries) state.SkipWithError("not every entry was expanded");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    state.SetBytesProcessed(state.iterations() * sample.plainSize);
    state.counters["entries"] = sample.entries;
}
BENCHMARK(ExpandArchive)->Unit(benchmark::kMillisecond);

void ListArchive(benchmark::State& state) {
    const SampleArchive& sample = Sample();
    TQuern quern;
    for (auto _ : state) {
        TMemoryStream archive(sample.bytes);
        TStringList list;
        quern.ListArchiveStream(archive, list);
        benchmark::DoNotOptimize(list.Count());
        TQuern::FreeListing(&list);
    }
    state.counters["entries"] = sample.entries;
}
BENCHMARK(ListArchive)->Unit(benchmark::kMicrosecond);

}  // namespace
