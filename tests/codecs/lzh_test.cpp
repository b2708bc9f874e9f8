#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "codecs/Lzh.h"
#include "codecs/LzhModel.h"
#include "codecs/Rle.h"
#include "tests/codecs/rle_lzh_support.h"

using namespace quern;

namespace {

using namespace rle_lzh_test;
using testing_support::FromHex;
using testing_support::RandomBytes;
using testing_support::ToHex;

using testing_support::Text;

Bytes Times(const std::string& s, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) out.insert(out.end(), s.begin(), s.end());
    return out;
}

struct LzhVector {
    const char* what;
    Bytes plain;
    Bytes stored;
};

TEST(LzhCodec, VectorsCompressAndExpand) {
    const LzhVector vectors[] = {
        {"empty input stores nothing, not even a last byte", {}, {}},
        {"one literal, 9 bits in the initial tree", Text("A"), FromHex("E6 80")},
        {"two literals", Text("AB"), FromHex("E6 F3 80")},
        {"literal, then a match of 9 at distance 0 over its own output", Bytes(10, 0x61), FromHex("F6 C9 00 00")},
        {"abc six times", Times("abc", 6), FromHex("F6 FB BD F3 00 20")},
        {"the preset spaces of the ring match from the first position", Bytes(100, 0x20),
         FromHex("C5 1D D8 84 C0")},
        // The last abcd ties with both earlier ones at length 4 (the look-ahead
        // ends there); the nearer copy, distance 4, wins. Distance 9 would end
        // the stream in 80 09 F3 00.
        {"equally long matches: the nearest wins", Text("abcdXabcdYabcdZ"),
         FromHex("F6 FB BD FF 0F 24 68 13 CB 80 04 F3 00")},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.what);
        // The one- and two-byte forms are longer than their input; lift the budget to the stored size.
        CodecSettings roomy;
        roomy.CompressReserve = std::min<int32_t>(0, static_cast<int32_t>(v.plain.size() - v.stored.size()));
        const CodecRun packed = Compress(ctLzh, v.plain, roomy);
        EXPECT_EQ(ToHex(packed.out), ToHex(v.stored));
        EXPECT_EQ(packed.checksum, ByteSum(v.plain));
        const CodecRun unpacked = Expand(ctLzh, v.stored, static_cast<int32_t>(v.plain.size()));
        EXPECT_EQ(ToHex(unpacked.out), ToHex(v.plain));
        EXPECT_EQ(unpacked.checksum, ByteSum(v.plain));
    }
}

// E6 80 and E6 F3 80 are longer than their inputs: with CompressReserve 0
// the second and the third stored byte pass the budget.
TEST(LzhCodec, BudgetOfTheInputSizeRaisesForFormsLongerThanTheInput) {
    EXPECT_THROW(Compress(ctLzh, Text("A")), EUnableToCompress);
    EXPECT_THROW(Compress(ctLzh, Text("AB")), EUnableToCompress);
}

TEST(LzhCodec, DestsizeZeroReadsAndWritesNothing) {
    TMemoryStream src(FromHex("E6 80")), dest;
    uint32_t sum = 1;
    RunCodec(dest, src, 2, 0, ctLzh, sum, true, false, CodecSettings{});
    EXPECT_EQ(src.Position(), 0);
    EXPECT_TRUE(dest.Bytes().empty());
    EXPECT_EQ(sum, 0u);
}

// Hand-made: 10001100 is match length 3 (symbol 256) in the initial tree,
// 11111111 the distance code of u = 63, 111111 the low bits: distance 4095.
// From ring position 4036 that copies positions 4036 to 4038, which only a
// damaged stream reads before writing them; they hold spaces, like the rest
// of the preset ring, which is how LHA's own dictionary starts.
const Bytes ReadsUnwrittenRingPositions = FromHex("8C FF FC");

TEST(LzhCodec, UnwrittenRingPositionsReadAsSpaces) {
    EXPECT_EQ(ToHex(Expand(ctLzh, ReadsUnwrittenRingPositions, 3).out), "20 20 20");
    // 10001100 000 000000: distance 0 from 4036 reaches the preset 4035.
    EXPECT_EQ(ToHex(Expand(ctLzh, FromHex("8C 00 00"), 3).out), "20 20 20");
}

// A last match is copied whole; a stream that runs out before Destsize fails.
TEST(LzhCodec, MatchCrossingDestsizeIsCopiedWhole) {
    // Ten 61: a literal and a 9-byte match. Asking for 2 bytes gets all ten.
    EXPECT_EQ(Expand(ctLzh, FromHex("F6 C9 00 00"), 2).out, Bytes(10, 0x61));
    // Past the stored span the expander does not invent zero bits.
    EXPECT_THROW(Expand(ctLzh, FromHex("F6 C9 00 00"), 5000), EUnexpectedEndOfData);
}

// A cancel leaves InputEnded true while the chunk is still served; the
// expander takes that as the end of its input, like an empty span.
TEST(LzhCodec, CancelEndsTheInput) {
    const Bytes plain = Times("cancel me, ", 50);
    const Bytes stored = Compress(ctLzh, plain).out;
    CodecSettings cancel;
    cancel.OnShowProgress = [](int32_t& percent) { percent = -1; };
    EXPECT_THROW(Expand(ctLzh, stored, static_cast<int32_t>(plain.size()), cancel), EUnexpectedEndOfData);
    EXPECT_THROW(Expand(ctLzh, {}, static_cast<int32_t>(plain.size())), EUnexpectedEndOfData);
    // Both compressors stop at the first end of input.
    EXPECT_TRUE(Compress(ctLzh, plain, cancel).out.empty());
    EXPECT_TRUE(Compress(ctRle, plain, cancel).out.empty());
}

// Walks the whole tree: sibling order, sums, parent links and the leaf map.
void ExpectModelWellFormed(const lzh::LzhModel& m) {
    using namespace lzh;
    int leaves = 0;
    for (int x = 0; x < NodeCount; ++x) {
        ASSERT_LE(m.Freq[x], m.Freq[x + 1]) << "node " << x;
        const int c = m.Child[x];
        if (c >= LeafBase) {
            ASSERT_LT(c - LeafBase, SymbolCount);
            ASSERT_EQ(m.Parent[c], x);
            ++leaves;
        } else {
            ASSERT_EQ(c % 2, 0);
            ASSERT_LT(c + 1, x);
            ASSERT_EQ(m.Parent[c], x);
            ASSERT_EQ(m.Parent[c + 1], x);
            ASSERT_EQ(m.Freq[x], m.Freq[c] + m.Freq[c + 1]) << "node " << x;
        }
    }
    ASSERT_EQ(leaves, SymbolCount);
    ASSERT_EQ(m.Freq[NodeCount], 0xFFFF);
}

int LeafFreq(const lzh::LzhModel& m, int s) { return m.Freq[m.Parent[lzh::LeafBase + s]]; }

TEST(LzhModel, RebuildHalvesLeavesRoundingUpAndKeepsTheTreeWellFormed) {
    auto m = std::make_unique<lzh::LzhModel>();
    m->InitModel();
    for (int i = 0; i < 4; ++i) m->UpdateModel('A');
    for (int i = 0; i < 3; ++i) m->UpdateModel('C');
    ASSERT_EQ(LeafFreq(*m, 'A'), 5);
    m->RebuildModel();
    EXPECT_EQ(LeafFreq(*m, 'A'), 3);
    EXPECT_EQ(LeafFreq(*m, 'B'), 1);
    EXPECT_EQ(LeafFreq(*m, 'C'), 2);
    ExpectModelWellFormed(*m);

    // A skewed symbol stream brings the root to 0x8000 several times.
    std::mt19937 rng(7);
    std::geometric_distribution<int> skew(0.05);
    int rebuilds = 0;
    for (int i = 0; i < 120000; ++i) {
        if (m->Freq[lzh::Root] == lzh::RebuildAt) ++rebuilds;
        m->UpdateModel(std::min(skew(rng), lzh::SymbolCount - 1));
        ASSERT_LE(m->Freq[lzh::Root], lzh::RebuildAt);
    }
    EXPECT_GE(rebuilds, 3);
    ExpectModelWellFormed(*m);
}

struct RoundTripInput {
    const char* what;
    Bytes data;
};

std::vector<RoundTripInput> RoundTripInputs() {
    Bytes binary;
    for (uint32_t i = 0; i < 6000; ++i)
        for (int k = 0; k < 4; ++k) binary.push_back(static_cast<uint8_t>((i * 40503u) >> (8 * k)));
    // Few symbols: deep bucket trees, many equal-length candidates and
    // deletions of nodes with two children.
    Bytes twoLetters = RandomBytes(60000, 8), fourLetters = RandomBytes(60000, 9);
    for (auto& b : twoLetters) b = 'a' + (b & 1);
    for (auto& b : fourLetters) b = 'a' + (b & 3);
    Bytes markers;
    for (int i = 0; i < 3000; ++i) markers.push_back(i % 3 ? 0x94 : static_cast<uint8_t>(i));
    return {
        {"empty", {}},
        {"one byte", {0x94}},
        {"61 equal bytes: one 60-byte match replaces its node", Bytes(61, 0x5A)},
        {"long run of one byte", Bytes(70000, 0x00)},
        {"text", Times("Quillset installs what the wizard asks for.\n", 400)},
        {"binary records", binary},
        {"marker-rich", markers},
        {"random", RandomBytes(20000, 3)},
        {"random over two letters", twoLetters},
        {"random over four letters", fourLetters},
        {"mixed, far beyond 32454 symbols: rebuilds on both sides", MixedData(400000, 11)},
    };
}

TEST(RleLzhRoundTrip, EveryInputThroughBothCodecs) {
    for (const auto& in : RoundTripInputs()) {
        for (const uint8_t method : {ctRle, ctLzh}) {
            SCOPED_TRACE(std::string(in.what) + (method == ctRle ? " / RLE" : " / LZH"));
            const CodecRun packed = Compress(method, in.data, Unbudgeted());
            EXPECT_EQ(packed.checksum, ByteSum(in.data));
            const CodecRun unpacked = Expand(method, packed.out, static_cast<int32_t>(in.data.size()));
            ASSERT_EQ(unpacked.out.size(), in.data.size());
            EXPECT_TRUE(unpacked.out == in.data);
            EXPECT_EQ(unpacked.checksum, ByteSum(in.data));
        }
    }
}

}  // namespace
