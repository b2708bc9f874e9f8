#include <gtest/gtest.h>

#include "codecs/Rle.h"
#include "tests/codecs/rle_lzh_support.h"

using namespace quern;

namespace {

using namespace rle_lzh_test;
using testing_support::FromHex;
using testing_support::ToHex;

Bytes Repeat(size_t n, uint8_t b) { return Bytes(n, b); }

struct RleVector {
    const char* what;
    Bytes plain;
    Bytes stored;
};

// Both directions. A stored form longer than its input needs a budget above
// the input size, which a negative CompressReserve gives.
TEST(RleCodec, VectorsCompressAndExpand) {
    const RleVector vectors[] = {
        {"empty", {}, {}},
        {"run, marker escape, pair as literals", FromHex("41 41 41 41 42 94 43 43"),
         FromHex("41 94 04 42 94 00 43 43")},
        {"first byte is a literal although it equals the initial previous byte", Repeat(5, 0x00),
         FromHex("00 94 05")},
        {"four equal bytes", Repeat(4, 0x41), FromHex("41 94 04")},
        {"a run of 255 closes, the next equal byte starts over", Repeat(300, 0x07), FromHex("07 94 FF 07 94 2D")},
        {"markers never form runs", FromHex("94 94 94"), FromHex("94 00 94 00 94 00")},
        {"lone marker", FromHex("94"), FromHex("94 00")},
        {"runs of 3 and 4, two markers", FromHex("01 01 01 02 02 02 02 94 94 05"),
         FromHex("01 94 03 02 94 04 94 00 94 00 05")},
        {"run of 256 ends in a single literal", Repeat(256, 0x33), FromHex("33 94 FF 33")},
        {"run of 257 ends in two literals", Repeat(257, 0x33), FromHex("33 94 FF 33 33")},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.what);
        CodecSettings roomy;
        roomy.CompressReserve = static_cast<int32_t>(v.plain.size()) - static_cast<int32_t>(v.stored.size());
        const CodecRun packed = Compress(ctRle, v.plain, roomy);
        EXPECT_EQ(ToHex(packed.out), ToHex(v.stored));
        EXPECT_EQ(packed.checksum, ByteSum(v.plain));
        const CodecRun unpacked = Expand(ctRle, v.stored, 0);
        EXPECT_EQ(ToHex(unpacked.out), ToHex(v.plain));
        EXPECT_EQ(unpacked.checksum, ByteSum(v.plain));
    }
}

// The budget is the input size less CompressReserve; the stored byte that
// would pass it raises. Budget one short of the stored size must fail, the
// stored size itself must pass.
TEST(RleCodec, BudgetRaisesAtTheFirstByteTooMany) {
    const struct {
        Bytes plain;
        size_t storedSize;
    } cases[] = {
        {FromHex("94 94 94"), 6},                       // raises at stored byte 4 with CompressReserve 0
        {FromHex("94"), 2},                             // the escape needs two bytes, the budget is one
        {FromHex("01 01 01 02 02 02 02 94 94 05"), 11}, // raises at stored byte 11
        {FromHex("41 41 41 41 42 94 43 43"), 8},        // exactly as long: fits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToHex(c.plain));
        const auto size = static_cast<int32_t>(c.plain.size());
        const auto stored = static_cast<int32_t>(c.storedSize);
        CodecSettings tight;
        tight.CompressReserve = size - (stored - 1);
        EXPECT_THROW(Compress(ctRle, c.plain, tight), EUnableToCompress);
        CodecSettings exact;
        exact.CompressReserve = size - stored;
        EXPECT_EQ(Compress(ctRle, c.plain, exact).out.size(), c.storedSize);
        if (stored > size) {
            EXPECT_THROW(Compress(ctRle, c.plain), EUnableToCompress);
        }
    }
}

// Streams the compressor never writes still expand without complaint.
TEST(RleCodec, ExpandsTokensTheCompressorNeverWrites) {
    const struct {
        const char* what;
        const char* stored;
        const char* plain;
    } cases[] = {
        {"marker at the very end reads its count as 0", "41 94", "41 94"},
        {"run token 1 adds nothing", "41 94 01", "41"},
        {"run token 2 adds one copy", "41 94 02", "41 41"},
        {"a run after an escape repeats the marker", "94 00 94 03", "94 94 94"},
        {"a run after a run repeats the marker", "41 94 03 94 02", "41 41 41 94"},
        {"a run first repeats the initial previous byte 0", "94 04", "00 00 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ToHex(Expand(ctRle, FromHex(c.stored), 0).out), ToHex(FromHex(c.plain)));
    }
}

// The expander ignores Destsize: the stored span alone decides.
TEST(RleCodec, ExpanderStopsAtTheEndOfTheSpanWhateverDestsize) {
    const Bytes stored = FromHex("41 94 04 42");
    EXPECT_EQ(ToHex(Expand(ctRle, stored, 2).out), "41 41 41 41 42");
    TMemoryStream src(FromHex("41 94 04 42 43 44")), dest;
    uint32_t sum = 0;
    RunCodec(dest, src, 4, 0, ctRle, sum, true, false, CodecSettings{});
    EXPECT_EQ(ToHex(dest.Bytes()), "41 41 41 41 42");
}

}  // namespace
