#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <quern/CodecEngine.h>
#include "tests/codecs/codec_engine_support.h"
#include "tests/support/TestSupport.h"

using namespace quern;

namespace {

using codec_test::CountingStream;
using testing_support::Bytes;
using testing_support::FromHex;
using testing_support::RandomBytes;

// Progress handler that records every value it is given, optionally replacing it.
struct ProgressLog {
    std::vector<int32_t> values;
    int32_t replaceFirstWith = 0;
    bool replace = false;
    CodecSettings Settings(int32_t key = 0) {
        CodecSettings s;
        s.Key = key;
        s.OnShowProgress = [this](int32_t& percent) {
            values.push_back(percent);
            if (replace && values.size() == 1) percent = replaceFirstWith;
        };
        return s;
    }
};

// Reads through InputByte until the first end of input; the bytes served.
Bytes Drain(CodecIO& io) {
    Bytes out;
    for (;;) {
        const uint8_t b = io.InputByte();
        if (io.InputEnded()) {
            EXPECT_EQ(b, 0);
            return out;
        }
        out.push_back(b);
    }
}

TEST(CodecEngine, EmptySpanReadsNothingAndReportsNoProgress) {
    CountingStream source(FromHex("01 02 03"));
    TMemoryStream dest;
    ProgressLog log;
    CodecIO io(dest, source, 0, true, false, log.Settings());
    EXPECT_FALSE(io.InputEnded());
    EXPECT_EQ(io.InputByte(), 0);
    EXPECT_TRUE(io.InputEnded());
    EXPECT_EQ(source.Reads, 0);
    EXPECT_TRUE(log.values.empty());
}

// k reads and k handler calls, the last reporting 100; the refill after the
// span's end finds nothing left and neither reads nor calls the handler.
TEST(CodecEngine, WholeChunkSpansReadOncePerChunk) {
    for (int k : {1, 2, 3}) {
        SCOPED_TRACE(k);
        const Bytes data = RandomBytes(static_cast<size_t>(k) * 8192 + 100, static_cast<uint32_t>(k));
        CountingStream source(data);
        TMemoryStream dest;
        ProgressLog log;
        CodecIO io(dest, source, k * 8192, true, false, log.Settings());
        const Bytes served = Drain(io);
        EXPECT_EQ(served, Bytes(data.begin(), data.begin() + k * 8192));
        EXPECT_EQ(source.Reads, k);
        ASSERT_EQ(log.values.size(), static_cast<size_t>(k));
        EXPECT_EQ(log.values.back(), 100);
        EXPECT_EQ(io.InputByte(), 0);
        EXPECT_EQ(source.Reads, k);
        EXPECT_EQ(log.values.size(), static_cast<size_t>(k));
        EXPECT_EQ(source.Position(), k * 8192);  // nothing beyond the span
    }
}

TEST(CodecEngine, ProgressPercentages) {
    struct Row {
        int32_t span;
        std::vector<int32_t> expected;  // leading values reported
        size_t calls;
    };
    const Row rows[] = {
        {50000, {16, 32, 49, 65, 81, 98, 100}, 7},
        {250000, {3}, 31},  // 8192 div 2500: the large-span form
        {100, {100}, 1},    // one chunk: 100 before the first byte is served
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.span);
        TMemoryStream source(Bytes(static_cast<size_t>(row.span), 0x5A));
        TMemoryStream dest;
        ProgressLog log;
        CodecIO io(dest, source, row.span, true, false, log.Settings());
        io.InputByte();
        EXPECT_EQ(log.values.front(), row.expected.front());
        EXPECT_EQ(Drain(io).size() + 1, static_cast<size_t>(row.span));
        ASSERT_EQ(log.values.size(), row.calls);
        EXPECT_EQ(std::vector<int32_t>(log.values.begin(), log.values.begin() + row.expected.size()), row.expected);
        EXPECT_EQ(log.values.back(), 100);
    }
    EXPECT_EQ(ProgressPercent(8192, 250000), 3);
    EXPECT_EQ(ProgressPercent(100000, 100000), 100);
    EXPECT_EQ(ProgressPercent(2147483647, 2147483647), 100);  // no overflow of done * 100
}

// -1 from the handler ends the input for this chunk: the call returns 0, the
// chunk's bytes are still served with InputEnded true, and the next refill
// (the handler leaves the value alone then) clears the flag.
TEST(CodecEngine, CancelledChunkIsStillServed) {
    const Bytes data = RandomBytes(10000, 7);
    CountingStream source(data);
    TMemoryStream dest;
    ProgressLog log;
    log.replace = true;
    log.replaceFirstWith = -1;
    CodecIO io(dest, source, 10000, true, false, log.Settings());
    EXPECT_EQ(io.InputByte(), 0);
    EXPECT_TRUE(io.InputEnded());
    for (size_t i = 0; i < 8192; ++i) {
        ASSERT_EQ(io.InputByte(), data[i]) << i;
        ASSERT_TRUE(io.InputEnded()) << i;
    }
    EXPECT_EQ(source.Reads, 1);
    EXPECT_EQ(io.InputByte(), data[8192]);
    EXPECT_FALSE(io.InputEnded());
    EXPECT_EQ(source.Reads, 2);
    EXPECT_EQ(log.values, (std::vector<int32_t>{81, 100}));  // as offered to the handler
}

// A source shorter than its span: InputByte ends, and every later call tries again.
TEST(CodecEngine, ShortSourceRetriesTheRead) {
    CountingStream source(FromHex("0A 0B"));
    TMemoryStream dest;
    CodecIO io(dest, source, 10, true, false, CodecSettings{});
    EXPECT_EQ(Drain(io), FromHex("0A 0B"));
    EXPECT_EQ(source.Reads, 2);
    EXPECT_EQ(io.InputByte(), 0);
    EXPECT_TRUE(io.InputEnded());
    EXPECT_EQ(source.Reads, 3);
}

// Compressing: exactly Sourcesize - CompressReserve bytes may be stored.
TEST(CodecEngine, CompressBudgetBoundary) {
    struct Row {
        int32_t sourceSize, reserve, allowed;
    };
    const Row rows[] = {{10, 0, 10}, {10, 3, 7}, {0, 0, 0}, {5, 10, 0}, {10, -2, 12}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.sourceSize << " - " << row.reserve);
        TMemoryStream source, dest;
        CodecSettings settings;
        settings.CompressReserve = row.reserve;
        CodecIO io(dest, source, row.sourceSize, false, false, settings);
        for (int32_t i = 0; i < row.allowed; ++i) io.OutputByte(0x41);
        try {
            io.OutputByte(0x41);
            FAIL() << "no exception";
        } catch (const EUnableToCompress& e) {
            EXPECT_EQ(e.Message, "Could not compress data");
        }
        EXPECT_EQ(io.OutputCount(), row.allowed);
    }
}

// Expanding has no budget to speak of, whatever the span.
TEST(CodecEngine, ExpandingIgnoresTheSpanForOutput) {
    TMemoryStream source, dest;
    CodecSettings settings;
    settings.CompressReserve = 100;
    CodecIO io(dest, source, 0, true, false, settings);
    for (int i = 0; i < 20000; ++i) io.OutputByte(static_cast<uint8_t>(i));
    io.FlushRest();
    EXPECT_EQ(dest.Bytes().size(), 20000u);
}

// A full buffer is written only when the next byte arrives; the rest at FlushRest.
TEST(CodecEngine, OutputIsWrittenInWholeBuffersThenTheRest) {
    TMemoryStream source;
    CountingStream dest;
    CodecIO io(dest, source, 0, true, false, CodecSettings{});
    for (int i = 0; i < 8192; ++i) io.OutputByte(1);
    EXPECT_EQ(dest.Writes, 0);
    io.OutputByte(2);
    EXPECT_EQ(dest.Writes, 1);
    EXPECT_EQ(dest.Bytes().size(), 8192u);
    io.FlushRest();
    EXPECT_EQ(dest.Writes, 2);
    EXPECT_EQ(dest.Bytes().size(), 8193u);
    EXPECT_EQ(io.OutputSum(), 8192u + 2);
    io.FlushRest();  // nothing left: no empty write
    EXPECT_EQ(dest.Writes, 2);
}

// Key 0x44332211: stored byte i is combined with key byte i mod 4, least
// significant first. Descrambling happens only when expanding a scrambled
// entry, scrambling only when compressing; key 0 never does either.
TEST(CodecEngine, KeySchedule) {
    const Bytes zeros(5, 0);
    const Bytes keyed = FromHex("11 22 33 44 11");
    struct Row {
        const char* what;
        int32_t key;
        bool scrambled;
        Bytes expandInput;  // bytes InputByte serves from five zero bytes
        Bytes compressOutput;  // bytes stored for five zero bytes
    };
    const Row rows[] = {
        {"key, scrambled entry", 0x44332211, true, keyed, keyed},
        {"key, plain entry", 0x44332211, false, zeros, keyed},
        {"no key, scrambled flag", 0, true, zeros, zeros},
        {"negative key counts as set", -1, true, Bytes(5, 0xFF), Bytes(5, 0xFF)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        {
            TMemoryStream source(zeros), dest;
            CodecSettings settings;
            settings.Key = row.key;
            CodecIO io(dest, source, 5, true, row.scrambled, settings);
            EXPECT_EQ(Drain(io), row.expandInput);
            EXPECT_EQ(io.InputSum(), 0u);  // taken before descrambling
        }
        {
            TMemoryStream source, dest;
            CodecSettings settings;
            settings.Key = row.key;
            CodecIO io(dest, source, 100, false, row.scrambled, settings);
            for (uint8_t b : zeros) io.OutputByte(b);
            io.FlushRest();
            EXPECT_EQ(dest.Bytes(), row.compressOutput);
            uint32_t sum = 0;
            for (uint8_t b : row.compressOutput) sum += b;
            EXPECT_EQ(io.OutputSum(), sum);  // taken after scrambling
        }
    }
}

// The key schedule starts afresh in every call.
TEST(CodecEngine, KeyIndexRestartsPerCall) {
    CodecSettings settings;
    settings.Key = 0x44332211;
    for (int call = 0; call < 2; ++call) {
        TMemoryStream source(Bytes(3, 0)), dest;
        CodecIO io(dest, source, 3, true, true, settings);
        EXPECT_EQ(Drain(io), FromHex("11 22 33"));
    }
}

// InputBytes serves what InputByte would, whatever the request sizes: the
// same descrambled bytes, sum, reads and progress; a request never reaches
// into the next chunk, and 0 is the end (also a cancelled chunk's).
TEST(CodecEngine, InputBytesServesAsInputByte) {
    const Bytes data = RandomBytes(20000, 11);
    struct Served {
        Bytes bytes;
        uint32_t sum = 0;
        int reads = 0;
        std::vector<int32_t> progress;
        bool operator==(const Served&) const = default;
    };
    // requests empty: byte by byte through InputByte.
    auto serve = [&](const std::vector<int32_t>& requests, bool cancelSecond) {
        CountingStream source(data);
        TMemoryStream dest;
        ProgressLog log;
        CodecSettings settings = log.Settings(0x5A3C0F01);
        if (cancelSecond)
            settings.OnShowProgress = [&log](int32_t& percent) {
                log.values.push_back(percent);
                if (log.values.size() == 2) percent = -1;
            };
        CodecIO io(dest, source, static_cast<int32_t>(data.size()), true, true, settings);
        Served s;
        if (requests.empty()) {
            s.bytes = Drain(io);
        } else {
            for (size_t i = 0;; ++i) {
                const int32_t want = requests[i % requests.size()];
                Bytes chunk(static_cast<size_t>(want) + 1, 0xEE);
                const int32_t got = io.InputBytes(chunk.data(), want);
                EXPECT_LE(got, want);
                EXPECT_EQ(chunk[static_cast<size_t>(got)], 0xEE);  // nothing written past what was served
                if (got == 0) {
                    EXPECT_TRUE(io.InputEnded());
                    break;
                }
                EXPECT_FALSE(io.InputEnded());
                s.bytes.insert(s.bytes.end(), chunk.begin(), chunk.begin() + got);
                // Within one chunk of 8192 bytes.
                EXPECT_EQ((s.bytes.size() - static_cast<size_t>(got)) / 8192, (s.bytes.size() - 1) / 8192);
            }
        }
        s.sum = io.InputSum();
        s.reads = source.Reads;
        s.progress = log.values;
        return s;
    };
    for (const bool cancel : {false, true}) {
        const Served expected = serve({}, cancel);
        EXPECT_EQ(expected.bytes.size(), cancel ? 8192u : data.size());
        for (const auto& requests : std::vector<std::vector<int32_t>>{{1}, {7, 3}, {8192}, {10000}, {5000, 1}}) {
            SCOPED_TRACE(testing::Message() << (cancel ? "cancelled, " : "") << "first request " << requests[0]);
            EXPECT_TRUE(serve(requests, cancel) == expected);
        }
    }
}

TEST(CodecEngine, UnknownMethodRunsNothing) {
    for (uint8_t method : {0, 3, 5, 255}) {
        for (bool expanding : {true, false}) {
            SCOPED_TRACE(testing::Message() << int{method} << (expanding ? " expanding" : " compressing"));
            CountingStream source(FromHex("01 02 03 04"));
            CountingStream dest;
            ProgressLog log;
            uint32_t checksum = 12345;
            const int32_t result = RunCodec(dest, source, 4, 4, method, checksum, expanding, false, log.Settings(7));
            EXPECT_EQ(checksum, 0u);
            EXPECT_EQ(result, 0);
            EXPECT_EQ(source.Reads, 0);
            EXPECT_EQ(dest.Writes, 0);
            EXPECT_TRUE(log.values.empty());
        }
    }
}

// A CodecIO built from a temporary settings object keeps its own copy of the handler.
TEST(CodecEngine, HandlerOutlivesTheSettingsObject) {
    int calls = 0;
    TMemoryStream source(Bytes(10, 1)), dest;
    auto settings = std::make_unique<CodecSettings>();
    settings->OnShowProgress = [&calls](int32_t&) { ++calls; };
    CodecIO io(dest, source, 10, true, false, *settings);
    settings.reset();
    EXPECT_EQ(io.InputByte(), 1);
    EXPECT_EQ(calls, 1);
}

}  // namespace
