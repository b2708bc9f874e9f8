// The LH5 encoder is exact: known inputs must give known bytes and known
// items. The item checks go through the encoder's observer seam.
#include <gtest/gtest.h>

#include <numeric>

#include "codecs/lh5/Lh5.h"
#include "tests/codecs/lh5_encode_support.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace lh5_test;
using testing_support::FromHex;
using testing_support::ToHex;

namespace {

Bytes Repeat(size_t count, uint8_t b) { return Bytes(count, b); }

// Replays the items as the decoder would (window of spaces, byte-by-byte
// copy) and checks every match against the format's limits.
Bytes ReplayItems(const std::vector<Item>& items) {
    Bytes out;
    for (const Item& item : items) {
        if (item.symbol < 256) {
            out.push_back(static_cast<uint8_t>(item.symbol));
            continue;
        }
        const size_t length = item.symbol - 253;
        const size_t distance = item.distanceCode + 1;
        EXPECT_LE(item.symbol, 509u);
        EXPECT_LE(distance, 8192u);
        // Our encoder never refers to the initial spaces.
        EXPECT_LE(distance, out.size()) << "match before the first byte at output " << out.size();
        if (distance > out.size()) return out;
        for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
    }
    return out;
}

}  // namespace

TEST(Lh5Encode, WritesTheKnownStreamsByteForByte) {
    struct Case {
        const char* name;
        Bytes input;
        const char* coded;
    };
    const Case cases[] = {
        {"empty input: no block at all", {}, ""},
        // Single-symbol main and position alphabets: 16 bits count 1, 5+5
        // zero bits, 9 zero bits, 9 bits of 0x61, 4+4 zero bits, the item
        // costs nothing, padding.
        {"a", Text("a"), "00 01 00 00 06 10 00"},
        // Three literals with main code lengths 2, 1, 2 behind a run of 97
        // zero lengths; the position alphabet is slot 0 alone.
        {"abc", Text("abc"), "00 03 28 08 44 C9 13 58 02 60"},
        // Literal a, then a match of length 9 at distance 1.
        {"ten a", Repeat(10, 'a'), "00 02 20 04 30 71 36 48 40 10"},
        // Literal 0, a match of 256 and one of 43, both at distance 1.
        {"300 zero bytes", Repeat(300, 0), "00 03 28 04 4B FD A2 71 81 80 58"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToHex(Encode(c.input)), ToHex(FromHex(c.coded))) << c.name;
    }
}

TEST(Lh5Encode, ChoosesTheKnownItems) {
    struct Case {
        const char* name;
        Bytes input;
        std::vector<Item> items;
    };
    std::vector<Item> abcZ;
    for (char c : std::string("abcZbcdefYa")) abcZ.push_back(Literal(static_cast<uint8_t>(c)));
    abcZ.push_back(Match(5, 7));
    const Case cases[] = {
        {"ten a: a match longer than its distance", Repeat(10, 'a'), {Literal('a'), Match(9, 1)}},
        {"300 zeros: 256 is the longest match", Repeat(300, 0), {Literal(0), Match(256, 1), Match(43, 1)}},
        // At the second a a 3-byte match (abc) exists, but the next position
        // offers bcdef: the lazy rule codes the a as a literal.
        {"abcZbcdefYabcdef: the lazy choice", Text("abcZbcdefYabcdef"), abcZ},
        {"abcabcabcabc", Text("abcabcabcabc"), {Literal('a'), Literal('b'), Literal('c'), Match(9, 3)}},
        {"two bytes never match", Text("aa"), {Literal('a'), Literal('a')}},
        // A 3-byte repeat is the shortest match used; the remaining two bytes
        // of the end are literals, since no match reaches past the input.
        {"xyzxyz", Text("xyzxyzab"),
         {Literal('x'), Literal('y'), Literal('z'), Match(3, 3), Literal('a'), Literal('b')}},
    };
    for (const Case& c : cases) {
        ItemRecorder recorder;
        Encode(c.input, &recorder);
        EXPECT_EQ(recorder.items, c.items) << c.name;
    }
}

// Across the window slides (the first after 7936 positions, then every 8192)
// and at the end of the input, where the window holds filler or stale bytes
// that continue the data, the items must rebuild the input exactly.
TEST(Lh5Encode, ItemsRebuildTheInputAcrossSlidesAndAtTheEnd) {
    auto periodic = [](size_t count, size_t period) {
        Bytes out(count);
        const char* symbols = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-+";
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(symbols[i % period]);
        return out;
    };
    struct Case {
        const char* name;
        Bytes input;
    };
    const Case cases[] = {
        // The filler after the input is spaces: only the clamp stops a match there.
        {"spaces like the filler", Repeat(5000, ' ')},
        {"text ending in spaces", [] {
             Bytes b = EnglishLikeText(3000, 1);
             b.insert(b.end(), 300, ' ');
             return b;
         }()},
        {"text, one before the first slide", EnglishLikeText(7935, 2)},
        {"text, at the first slide", EnglishLikeText(7936, 3)},
        {"text, one past the first slide", EnglishLikeText(7937, 4)},
        {"runs at the second slide", Runs(16128, 5)},
        {"runs, one past the second slide", Runs(16129, 6)},
        // With a period that divides 8192 the stale bytes above the last
        // input byte continue the pattern after every slide.
        {"period 64 ending after a slide", periodic(16128 + 8192 + 77, 64)},
        {"period 64 ending at a slide", periodic(16128 + 8192, 64)},
        {"skewed bytes over several slides", SkewedBytes(60000, 7)},
        {"binary records", BinaryRecords(50000, 8)},
        {"mixed data with far repeats", MixedData(200000, 9)},
        {"random", testing_support::RandomBytes(20000, 10)},
    };
    for (const Case& c : cases) {
        ItemRecorder recorder;
        Encode(c.input, &recorder);
        const Bytes rebuilt = ReplayItems(recorder.items);
        EXPECT_EQ(rebuilt.size(), c.input.size()) << c.name;
        EXPECT_TRUE(rebuilt == c.input) << c.name;
    }
}

TEST(Lh5Encode, RunCodecWritesTheSameStreamAndTheInputSum) {
    const Bytes input = EnglishLikeText(30000, 11);
    TMemoryStream source(input);
    TMemoryStream dest;
    uint32_t checksum = 0;
    const int32_t written = RunCodec(dest, source, static_cast<int32_t>(input.size()), 0, ctLh5, checksum,
                                     /*Expanding*/ false, false, CodecSettings{});
    const Bytes expected = Encode(input);
    EXPECT_EQ(written, static_cast<int32_t>(expected.size()));
    EXPECT_TRUE(dest.Bytes() == expected);
    EXPECT_EQ(checksum, std::accumulate(input.begin(), input.end(), 0u));
}

// Past the budget the coded stream stops where byte-by-byte output would
// stop: the 8192-byte buffers filled before the failing byte are written,
// nothing else, whichever block the failure falls in.
TEST(Lh5Encode, BudgetFailureWritesTheWholeBuffersBeforeIt) {
    const Bytes input = EnglishLikeText(200000, 13);
    const Bytes full = Encode(input);
    ASSERT_GT(full.size(), 3u * 8192);
    for (const size_t budget : {size_t{8191}, size_t{8192}, size_t{8193}, full.size() - 1}) {
        TMemoryStream source(input);
        TMemoryStream dest;
        CodecSettings settings;
        settings.CompressReserve = static_cast<int32_t>(input.size() - budget);
        uint32_t checksum = 0;
        EXPECT_THROW(RunCodec(dest, source, static_cast<int32_t>(input.size()), 0, ctLh5, checksum, false, false,
                              settings),
                     EUnableToCompress)
            << budget;
        // A full buffer is written when the byte after it is accepted.
        const size_t written = (budget - 1) / 8192 * 8192;
        const Bytes expected(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(written));
        EXPECT_TRUE(dest.Bytes() == expected) << budget;
    }
}

// The archive writer stores an entry whose coded form would be longer.
TEST(Lh5Encode, DataThatWouldGrowRaisesUnableToCompress) {
    const Bytes inputs[] = {Text("abc"), testing_support::RandomBytes(20000, 12)};
    for (const Bytes& input : inputs) {
        TMemoryStream source(input);
        TMemoryStream dest;
        uint32_t checksum = 0;
        EXPECT_THROW(RunCodec(dest, source, static_cast<int32_t>(input.size()), 0, ctLh5, checksum, false, false,
                              CodecSettings{}),
                     EUnableToCompress)
            << input.size();
    }
}

// The first fill of the window reads as one InputByte() per window index
// would: a chunk whose progress event cancels is still read (its bytes count
// in the sum) but stands as filler, and the next chunk is data again. The
// source here gives 1000 bytes a read, so the chunks are A, B and C; with C
// all spaces, like the filler, the coded stream is that of A and the 1000
// filler bytes in B's place.
TEST(Lh5Encode, CancelledChunkOfTheFirstFillIsReadAsFiller) {
    class ShortReads : public TMemoryStream {
    public:
        using TMemoryStream::TMemoryStream;
        int32_t Read(void* buffer, int32_t count) override { return TMemoryStream::Read(buffer, std::min(count, 1000)); }
    };
    struct Case {
        const char* name;
        int cancelledCall;  // 1-based progress call that cancels
        Bytes input;
        Bytes expected;     // what Encode of the window's data gives
    };
    const Bytes a = EnglishLikeText(1000, 21);
    Bytes input = a;
    input.insert(input.end(), 1000, 'x');
    input.insert(input.end(), 1000, ' ');
    Bytes aThenFiller = a;
    aThenFiller.insert(aThenFiller.end(), 1000, ' ');
    const Case cases[] = {
        {"second chunk cancelled", 2, input, Encode(aThenFiller)},
        {"only chunk cancelled: nothing to code", 1, a, {}},
    };
    for (const Case& c : cases) {
        ShortReads source(c.input);
        TMemoryStream dest;
        CodecSettings settings;
        int calls = 0;
        settings.OnShowProgress = [&](int32_t& percent) {
            if (++calls == c.cancelledCall) percent = -1;
        };
        uint32_t checksum = 0;
        const int32_t written = RunCodec(dest, source, static_cast<int32_t>(c.input.size()), 0, ctLh5, checksum,
                                         false, false, settings);
        EXPECT_EQ(written, static_cast<int32_t>(c.expected.size())) << c.name;
        EXPECT_TRUE(dest.Bytes() == c.expected) << c.name;
        EXPECT_EQ(checksum, std::accumulate(c.input.begin(), c.input.end(), 0u)) << c.name;
        EXPECT_EQ(calls, static_cast<int>(c.input.size() / 1000)) << c.name;
    }
}
