// Writes the seed corpus of every fuzz target: quern_fuzz_corpus DIR writes
// DIR/<target>/<seed> (fuzz/make_corpus.sh runs it into fuzz/corpus). Seeds
// are small well-formed inputs, in each target's input layout, that reach
// the paths a mutation should start from: every codec with a real stream,
// scrambled and cancelled runs, every entry type and lock of an archive.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <quern/ArchiveWriter.h>
#include "fuzz/FuzzSupport.h"

using namespace quern;

namespace {

using fuzz::Bytes;
namespace fs = std::filesystem;

fs::path root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = root / target;
    fs::create_directories(dir);
    std::ofstream file(dir / name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("cannot write " + (dir / name).string());
}

void WriteText(const std::string& target, const std::string& name, const std::string& text) {
    Write(target, name, Bytes(text.begin(), text.end()));
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes FromText(const std::string& s) { return Bytes(s.begin(), s.end()); }

const Bytes Text = FromText(
    "[General Settings]\r\nRestart Windows=0\r\n\r\nThe quick brown fox jumps over the lazy dog. "
    "The quick brown fox jumps over the lazy dog again, and again the quick brown fox.\r\n");

// Little-endian records: a counter, a scaled value and a flag word.
Bytes Binary() {
    Bytes out;
    for (uint32_t i = 0; i < 100; ++i) {
        const uint32_t fields[] = {i, i * 4099 % 65536, i % 3 == 0 ? 0x8000u : 0u};
        for (uint32_t f : fields)
            for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(f >> (8 * k)));
    }
    return out;
}

Bytes Runs() {
    Bytes out;
    for (int i = 0; i < 12; ++i) out.insert(out.end(), static_cast<size_t>(3 + i * 23), static_cast<uint8_t>(i * 37));
    out.insert(out.end(), 5, 0x94);  // the RLE marker as data
    return out;
}

Bytes Noise(size_t count, uint32_t seed) {
    Bytes out;
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        out.push_back(static_cast<uint8_t>(seed >> 16));
    }
    return out;
}

// The stored form of plain under method, scrambled with the fuzz key when asked.
Bytes Encode(uint8_t method, const Bytes& plain, bool scrambled = false) {
    CodecSettings settings;
    settings.Key = scrambled ? fuzz::FuzzKey : 0;
    settings.CompressReserve = -1'000'000;
    TMemoryStream source(plain), dest;
    uint32_t sum = 0;
    RunCodec(dest, source, static_cast<int32_t>(plain.size()), 0, method, sum, false, false, settings);
    return dest.Bytes();
}

Bytes Head(size_t declared, bool scrambled = false, int cancelAt = 0) {
    return fuzz::EncodeExpandHead({static_cast<int32_t>(declared), scrambled, cancelAt});
}

void ExpanderSeeds(const std::string& target, uint8_t method) {
    Write(target, "text", Concat(Head(Text.size()), Encode(method, Text)));
    Write(target, "binary", Concat(Head(Binary().size()), Encode(method, Binary())));
    Write(target, "runs", Concat(Head(Runs().size()), Encode(method, Runs())));
    Write(target, "scrambled", Concat(Head(Text.size(), true), Encode(method, Text, true)));
    Write(target, "cancelled", Concat(Head(Text.size(), false, 1), Encode(method, Text)));
    Write(target, "nothing-stored", Head(700));
}

// 80 KB of text and runs in turns: several window lengths, and a size that
// needs the head's large-size flag.
Bytes Large() {
    Bytes out;
    while (out.size() < 81920) out = Concat(Concat(out, Text), Runs());
    out.resize(81920);
    return out;
}

void CodecSeeds() {
    for (const auto& [target, method] : {std::pair{"lh5_decode", ctLh5}, std::pair{"lzh_expand", ctLzh}})
        Write(target, "large", Concat(Head(Large().size()), Encode(method, Large())));
    ExpanderSeeds("lh5_decode", ctLh5);
    // Hand-made -lh5- streams: one block of three items (count 0003, then the
    // three code tables and the codes) that decodes to "abc".
    Write("lh5_decode", "abc", Concat(Head(3), {0x00, 0x03, 0x28, 0x08, 0x44, 0xC9, 0x13, 0x58, 0x02, 0x60}));
    // One block of one item with single-symbol tables: "a" in zero bits.
    Write("lh5_decode", "a", Concat(Head(1), {0x00, 0x01, 0x00, 0x00, 0x06, 0x10, 0x00}));

    ExpanderSeeds("lzh_expand", ctLzh);
    ExpanderSeeds("rle_expand", ctRle);
    // Literal, run of 4, literal, escaped marker, two literals.
    Write("rle_expand", "tokens", Concat(Head(8), {0x41, 0x94, 0x04, 0x42, 0x94, 0x00, 0x43, 0x43}));
    // A marker as the last stored byte.
    Write("rle_expand", "trailing-marker", Concat(Head(2), {0x41, 0x94}));

    for (const char* target : {"rle_roundtrip", "lzh_roundtrip", "lh5_roundtrip"}) {
        // The first byte: bit 0 scramble, bit 1 keep the usual budget.
        Write(target, "text", Concat({0}, Text));
        Write(target, "binary-scrambled", Concat({1}, Binary()));
        Write(target, "runs-budgeted", Concat({2}, Runs()));
        Write(target, "noise-budgeted", Concat({3}, Noise(600, 7)));
        Write(target, "markers", Concat({0}, Bytes(40, 0x94)));
        Write(target, "empty", {0});
    }
    // The first byte: 1 + its low four bits copies of the rest, each with one byte changed.
    Write("lzh_reference", "text-4-copies", Concat({3}, Text));
    Write("lzh_reference", "binary", Concat({0}, Binary()));
    Write("lzh_reference", "runs-16-copies", Concat({15}, Runs()));
    Write("lzh_reference", "noise-8-copies", Concat({7}, Noise(600, 7)));
    // The first byte: 1 + its value copies of the rest, each with one byte
    // changed, cut at 40 KB; the copies reach the window's slides.
    Write("lh5_reference", "text-64-copies", Concat({63}, Text));
    Write("lh5_reference", "binary", Concat({0}, Binary()));
    Write("lh5_reference", "runs-16-copies", Concat({15}, Runs()));
    Write("lh5_reference", "period-256-noise", Concat({255}, Noise(256, 3)));
    Write("lh5_reference", "large", Concat({0}, Large()));
}

// 1 November 1998, 13:30:18.
constexpr uint32_t SampleDate = 0x25616BC9;

Bytes Archive(TArchiveWriter& writer) {
    TMemoryStream out;
    writer.WriteToStream(out);
    return out.Bytes();
}

void ArchiveSeeds() {
    TArchiveWriter mixed;
    mixed.Key = fuzz::FuzzKey;
    mixed.AddMemory("<temp>\\install.ini", Text, SampleDate, 0x20, ctLh5);
    mixed.AddMemory("stored.txt", FromText("short"), SampleDate, 0x20, ctNone);
    mixed.AddMemory("dir\\runs.bin", Runs(), SampleDate, 0x21, ctRle);
    mixed.AddMemory("dir\\sub\\binary.bin", Binary(), SampleDate, 0x20, ctLzh);
    mixed.AddMemory("empty", {}, SampleDate, 0x20, ctLh5);
    const Bytes mixedBytes = Archive(mixed);

    TArchiveWriter locked;
    locked.Key = fuzz::FuzzKey;
    locked.AddMemory("locked.ini", Text, SampleDate, 0x20, ctLh5, 1);
    locked.AddMemory("scrambled.bin", Binary(), SampleDate, 0x20, ctLzh, 2);
    locked.AddMemory("scrambled-runs.bin", Runs(), SampleDate, 0x20, ctRle, 2);
    locked.AddMemory("locked-stored", FromText("abc"), SampleDate, 0x20, ctNone, 1);
    const Bytes lockedBytes = Archive(locked);

    // A custom method ID: entries of type 3 go through the target's OnExpand,
    // which takes the stored bytes as the file's bytes.
    TArchiveWriter custom;
    custom.CompressID = "#CU";
    custom.OnCompress = [](TStream& dest, TStream& source, std::string&, int32_t&, int32_t& checksum) {
        uint8_t b;
        uint32_t sum = 0;
        while (source.Read(&b, 1) == 1) {
            sum += b;
            dest.WriteBuffer(&b, 1);
        }
        checksum = static_cast<int32_t>(sum);
    };
    custom.AddMemory("custom.txt", Text, SampleDate, 0x20, ctCustom);
    custom.AddMemory("coded.txt", Text, SampleDate, 0x20, ctLh5);
    const Bytes customBytes = Archive(custom);

    TArchiveWriter empty;
    const Bytes emptyBytes = Archive(empty);

    for (const char* target : {"archive_list", "archive_expand", "archive_parallel"}) {
        Write(target, "mixed", mixedBytes);
        Write(target, "locked", lockedBytes);
        Write(target, "custom-id", customBytes);
        Write(target, "header-only", emptyBytes);
        Write(target, "cut-in-second-entry", Bytes(mixedBytes.begin(), mixedBytes.begin() + 200));
    }
}

// Entries for archive_write_parallel: a kind byte (type = kind % 5, lock flag
// = kind / 5 % 3), a 16-bit length and the data.
Bytes WriterEntry(uint8_t kind, const Bytes& data) {
    return Concat({kind, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8)}, data);
}

void WriterSeeds() {
    const Bytes mix = Concat(Concat(WriterEntry(4, Text), WriterEntry(2, Binary())),
                             Concat(Concat(WriterEntry(1, Runs()), WriterEntry(0, FromText("stored"))),
                                    Concat(WriterEntry(3, Text), WriterEntry(4, {}))));
    // The first byte: bits 0..3 the report answered with -1, bit 4 a key.
    Write("archive_write_parallel", "mix", Concat({0}, mix));
    Write("archive_write_parallel", "mix-cancelled", Concat({5}, mix));
    Write("archive_write_parallel", "locked",
          Concat({0x10}, Concat(Concat(WriterEntry(9, Text), WriterEntry(12, Binary())),
                                Concat(WriterEntry(11, Runs()), WriterEntry(14, Noise(600, 7))))));
    // Noise that coding would grow: stored instead.
    Write("archive_write_parallel", "incompressible", Concat({0}, Concat(WriterEntry(4, Noise(3000, 3)), WriterEntry(2, Noise(900, 4)))));
}

void ConfigSeeds() {
    // section NUL key NUL file content
    const std::string nul(1, '\0');
    WriteText("myini_read", "languages",
              "Languages" + nul + "English" + nul +
                  "[LANGUAGES]\r\nEnglish=english.lng\r\nDeutsch=deutsch.lng\r\n\r\n[GENERAL SETTINGS]\r\n"
                  "Restart Windows=1\r\n");
    WriteText("myini_read", "free-text-after-blank",
              "General Settings" + nul + "Restart Windows" + nul +
                  "[General Settings]\nRestart Windows=2\n\nRead me first.\n;not a comment=x\n[general settings]\n"
                  "Restart Windows=3\n");
    WriteText("myini_read", "long-value", "A" + nul + "K" + nul + "[A]\rK=" + std::string(300, 'v') + "\rNoEquals\r");
    WriteText("myini_read", "nul-ends-text", "A" + nul + "K" + nul + "[A]\r\nK=1" + nul + "\r\nK=2\r\n");

    // section NUL key NUL value NUL file content
    WriteText("profile_key", "existing-key",
              "Params" + nul + "Start" + nul + "226837" + nul + "[Params]\r\nStart=0\r\nSize=1\r\n");
    WriteText("profile_key", "new-section", "Params" + nul + "Temp" + nul + "/tmp/x" + nul + "[Other]\nA=1\n");
    WriteText("profile_key", "blank-lines-kept",
              " params " + nul + " source\t" + nul + "v" + nul + "[PARAMS]\r\nReadMe=\r\n\r\n\r\n[Next]\r\nX=1");
    WriteText("profile_key", "empty-file", "S" + nul + "K" + nul + "V" + nul);
    WriteText("profile_key", "lone-cr", "S" + nul + "K" + nul + "V" + nul + "[s]\rk = old\r[t]\r");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    root = argv[1];
    try {
        CodecSeeds();
        ArchiveSeeds();
        WriterSeeds();
        ConfigSeeds();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
