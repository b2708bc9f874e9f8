#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "codecs/lh5/Lh5.h"
#include "tests/codecs/codec_engine_support.h"
#include "tests/codecs/lh5_decode_support.h"
#include "tests/support/TestSupport.h"

using namespace quern;

namespace {

using namespace lh5_test;
using codec_test::CountingStream;
using testing_support::FromHex;

using testing_support::Text;

using testing_support::ByteSum;

struct DecodeVector {
    const char* what;
    Bytes stream;
    int32_t expectedSize;
    Bytes expected;
};

TEST(Lh5Decode, KnownStreams) {
    const DecodeVector vectors[] = {
        {"three literals", FromHex("00 03 28 08 44 C9 13 58 02 60"), 3, Text("abc")},
        // Main and position alphabets in the single-symbol form: the item costs no bits.
        {"single-symbol alphabets", FromHex("00 01 00 00 06 10 00"), 1, Text("a")},
        {"literal then overlapping match of 9 at distance 1", FromHex("00 02 20 04 30 71 36 48 40 10"), 10,
         Text("aaaaaaaaaa")},
        {"300 zero bytes", FromHex("00 03 28 04 4B FD A2 71 81 80 58"), 300, Bytes(300, 0)},
        // The final match of 9 is written whole although only 5 bytes were asked for.
        {"match running past the expected size", FromHex("00 02 20 04 30 71 36 48 40 10"), 5,
         Text("aaaaaaaaaa")},
        {"match running past an expected size of 2", FromHex("00 02 20 04 30 71 36 48 40 10"), 2,
         Text("aaaaaaaaaa")},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.what);
        uint32_t checksum = 0;
        const Bytes out = Lh5Expand(v.stream, v.expectedSize, &checksum);
        EXPECT_EQ(out, v.expected);
        EXPECT_EQ(checksum, ByteSum(v.expected));
    }
}

TEST(Lh5Decode, ExpectedSizeZeroReadsNothing) {
    CountingStream source(FromHex("00 03 28 08 44 C9 13 58 02 60"));
    TMemoryStream dest;
    uint32_t checksum = 99;
    RunCodec(dest, source, 10, 0, ctLh5, checksum, true, false, CodecSettings{});
    EXPECT_EQ(source.Reads, 0);
    EXPECT_EQ(source.Position(), 0);
    EXPECT_TRUE(dest.Bytes().empty());
    EXPECT_EQ(checksum, 0u);
}

// The span claims 100 bytes but the stream holds 7: one short read, one read
// that finds the end, and no further request once the end is known. Block 1
// gives "a"; the next block head lies past the stream's bits.
TEST(Lh5Decode, NoByteRequestedAfterTheEndOfInput) {
    CountingStream source(FromHex("00 01 00 00 06 10 00"));
    TMemoryStream dest;
    uint32_t checksum = 0;
    EXPECT_THROW(RunCodec(dest, source, 100, 3, ctLh5, checksum, true, false, CodecSettings{}),
                 EUnexpectedEndOfData);
    EXPECT_EQ(source.Reads, 2);
}

// A progress handler that cancels ends the input: the block head then needs
// bits the decoder does not have.
TEST(Lh5Decode, CancelledInputEndsTheStream) {
    TMemoryStream source(FromHex("00 03 28 08 44 C9 13 58 02 60"));
    TMemoryStream dest;
    CodecSettings settings;
    settings.OnShowProgress = [](int32_t& percent) { percent = -1; };
    uint32_t checksum = 0;
    EXPECT_THROW(RunCodec(dest, source, 10, 3, ctLh5, checksum, true, false, settings), EUnexpectedEndOfData);
    EXPECT_TRUE(dest.Bytes().empty());
}

// A count of 0 is 65536 items. Block 1 sends "a" as the single main symbol in
// the k = 0 form, so its 65536 items take no bits; block 2 does the same for
// "b" with one item. Exactly 65536 a's must come before the b.
//   16:0            item count 0
//   5:0 5:0         length code: single symbol 0
//   9:0 9:97        main alphabet: single symbol 'a'
//   4:0 4:0         position alphabet: single slot 0
TEST(Lh5Decode, ItemCountZeroMeans65536Items) {
    const Bytes stream = Fields(
        "16:0 5:0 5:0 9:0 9:97 4:0 4:0 "
        "16:1 5:0 5:0 9:0 9:98 4:0 4:0");
    Bytes expected(65536, 'a');
    expected.push_back('b');
    EXPECT_EQ(Lh5Expand(stream, 65537), expected);
}

// Block 1 is the single-symbol block of one 'a'; block 2's length code has
// just the lengths 1 and 2 (3/4 of the code space):
//   16:1   one item
//   5:2    two length-code lengths follow
//   3:1 3:2
// The error comes at block 2's head, after block 1's item and before any other.
TEST(Lh5Decode, IncompleteCodeRaisesBeforeAnyItemOfItsBlock) {
    TMemoryStream source(Fields("16:1 5:0 5:0 9:0 9:97 4:0 4:0 16:1 5:2 3:1 3:2"));
    TMemoryStream dest;
    CodecIO io(dest, source, static_cast<int32_t>(source.Size()), true, false, CodecSettings{});
    try {
        Lh5Decode(io, 5);
        FAIL() << "no exception";
    } catch (const ELZHBadDecodeTable& e) {
        EXPECT_EQ(e.Message, "Bad decode table in archive!");
    }
    EXPECT_EQ(io.OutputCount(), 1);
    EXPECT_EQ(io.OutputSum(), uint32_t{'a'});
}

// Literal 'x', then a match of 4 at distance 3: it starts two bytes before the
// first output byte, in the initial window of spaces, and then overlaps itself.
// Also a match of 3 at distance 8192, the far end of the window.
TEST(Lh5Decode, MatchBeforeTheFirstByteCopiesSpaces) {
    BlockPlan b;
    b.lengthCode.assign(19, 0);
    b.lengthCode[0] = 1;  // absent main symbol
    b.lengthCode[3] = 2;  // main length 1
    b.lengthCode[4] = 2;  // main length 2
    b.main.assign(510, 0);
    b.main['x'] = 1;
    b.main[257] = 2;  // length 4
    b.main[256] = 2;  // length 3
    b.position.assign(14, 0);
    b.position[2] = 1;   // distance - 1 in 2..3
    b.position[13] = 1;  // distance - 1 in 4096..8191
    b.symbols = {'x', 257, 256};
    b.distances = {2, 8191};
    BitWriter w;
    PutBlock(w, b);
    const Bytes expected = Text("x  x    ");
    ASSERT_EQ(ReferenceOutput({b}), expected);
    EXPECT_EQ(Lh5Expand(w.Finish(), 8), expected);
}

// Codes longer than the direct tables walk the overflow trees. Block 1 gives 17
// main symbols (literals and matches) the lengths 1, 2, ..., 16, 16 and the 14
// position slots 1, 2, ..., 13, 13; block 2 turns the assignment around and
// sends its main lengths through a length code of lengths up to 16, so that
// small-alphabet codes of 9..16 bits (the longest escape) are read too. The
// output runs past the window size, so the window wraps.
TEST(Lh5Decode, LongCodesWalkTheOverflowTrees) {
    const int mainSymbols[] = {'a', 256, 'b', 300, 'c', 509, 'd', 400, 'e', 450, 'f', 500, 'g', 505, 'h', 'i', 257};
    std::vector<BlockPlan> blocks(2);
    for (int k = 0; k < 2; ++k) {
        BlockPlan& b = blocks[k];
        b.lengthCode.assign(19, 0);
        b.main.assign(510, 0);
        b.position.assign(14, 0);
        for (int i = 0; i < 17; ++i) b.main[mainSymbols[k == 0 ? i : 16 - i]] = std::min(i + 1, 16);
        for (int s = 0; s < 14; ++s) b.position[k == 0 ? s : 13 - s] = std::min(s + 1, 13);
        // Length-code symbols in use: 0 and 3..18 (main lengths 1..16).
        if (k == 0) {
            for (int s = 3; s <= 18; ++s) b.lengthCode[s] = s <= 16 ? 4 : 5;
            b.lengthCode[0] = 4;
        } else {
            b.lengthCode[0] = 1;
            for (int s = 3; s <= 18; ++s) b.lengthCode[s] = std::min(s - 1, 16);
        }
        uint32_t seed = 12345u + static_cast<uint32_t>(k);
        auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
        for (int item = 0; item < 400; ++item) {
            const int sym = mainSymbols[item < 17 ? item : next() % 17];
            b.symbols.push_back(sym);
            if (sym < 256) continue;
            const int slot = static_cast<int>(b.distances.size() % 14);
            const int d = slot == 0 ? 0 : (1 << (slot - 1)) + static_cast<int>(next() % (1u << (slot - 1)));
            b.distances.push_back(d);
        }
    }
    BitWriter w;
    for (const auto& b : blocks) PutBlock(w, b);
    const Bytes expected = ReferenceOutput(blocks);
    ASSERT_GT(expected.size(), 8192u * 2);
    uint32_t checksum = 0;
    EXPECT_EQ(Lh5Expand(w.Finish(), static_cast<int32_t>(expected.size()), &checksum), expected);
    EXPECT_EQ(checksum, ByteSum(expected));
}

// Streams that no encoder writes and that would push the tables out of their
// bounds, or leave them stale, are refused at the block head.
TEST(Lh5Decode, HostileLengthListsAreRefused) {
    // Prefixes that are valid so far: a length code whose single symbol is 0,
    // and a main alphabet whose single symbol is 'a'.
    const std::string head = "16:1 5:0 5:0 ";
    const std::string mainA = head + "9:0 9:97 ";
    std::string shortRuns = "16:1 5:0 5:1 9:510 ";  // every length code is a run of 3..18 zeros
    for (int i = 0; i < 29; ++i) shortRuns += "4:15 ";  // 29 x 18 = 522 > 510
    const struct {
        const char* what;
        std::string fields;
    } rows[] = {
        {"length code: single symbol 19 is outside the alphabet", "16:1 5:0 5:19"},
        {"length code: single symbol 31", "16:1 5:0 5:31"},
        {"length code: 20 lengths for 19 symbols", "16:1 5:20"},
        {"length code: 31 lengths", "16:1 5:31"},
        // 3:7 then ten more 1-bits and the 0-bit: a length of 17.
        {"length code: length 17", "16:1 5:1 3:7 10:1023 1:0"},
        {"length code: escape running off the look-ahead (20)", "16:1 5:1 3:7 13:8191 16:0"},
        // Four codes of length 1 sum to 2^17, which is 0 modulo 2^16.
        {"length code: code space wraps to 2^17", "16:1 5:4 3:1 3:1 3:1 2:0 3:1"},
        {"length code: no length at all", "16:1 5:1 3:0"},
        {"length code: zeros only, with the extra zero run", "16:1 5:4 3:0 3:0 3:0 2:3"},
        {"length code: lengths 1 and 2 only", "16:1 5:2 3:1 3:2"},
        {"length code: over-full (1, 1, 2)", "16:1 5:3 3:1 3:1 3:2 2:0"},
        {"main: single symbol 510", head + "9:0 9:510"},
        {"main: single symbol 511", head + "9:0 9:511"},
        {"main: 511 lengths", head + "9:511"},
        // Length code single symbol 3: every main length read is 1, for free.
        {"main: four lengths of 1 wrap to 2^17", "16:1 5:0 5:3 9:4"},
        {"main: 510 lengths of 1", "16:1 5:0 5:3 9:510"},
        {"main: no length at all", head + "9:5"},
        // Length code single symbol 2: every entry is a run of 20 + 9 bits zeros.
        {"main: long zero run past 510", "16:1 5:0 5:2 9:510 9:490"},
        {"main: long zero runs adding up past 510", "16:1 5:0 5:2 9:510 9:200 9:280"},
        {"main: short zero runs adding up past 510", shortRuns},
        {"position: 15 lengths for 14 slots", mainA + "4:15"},
        {"position: single slot 14", mainA + "4:0 4:14"},
        {"position: single slot 15", mainA + "4:0 4:15"},
        {"position: length 17", mainA + "4:1 3:7 10:1023 1:0"},
        {"position: no length at all", mainA + "4:2 3:0 3:0"},
        {"position: code space wraps to 2^17", mainA + "4:4 3:1 3:1 3:1 3:1"},
        {"position: incomplete", mainA + "4:2 3:1 3:0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Bytes stream = Fields(row.fields);
        EXPECT_THROW(Lh5Expand(stream, 1000), ELZHBadDecodeTable);
    }
}

// A small-alphabet length of 16, the longest code there is, is accepted:
// the length code has the lengths 1, 2, ..., 15, 16, 16 over its symbols
// 0..16, so two of them are sent as 3:7, nine more 1-bits and the 0-bit.
TEST(Lh5Decode, SmallLengthSixteenIsAccepted) {
    std::vector<int> t(19, 0);
    for (int s = 0; s <= 16; ++s) t[s] = std::min(s + 1, 16);
    BlockPlan b;
    b.lengthCode = t;
    b.main.assign(510, 0);
    b.main['a'] = 1;
    b.main['b'] = 1;
    b.position.assign(14, 0);
    b.position[0] = 1;
    b.position[1] = 1;
    b.symbols = {'b', 'a', 'b'};
    BitWriter w;
    PutBlock(w, b);
    EXPECT_EQ(Lh5Expand(w.Finish(), 3), Text("bab"));
}

}  // namespace
