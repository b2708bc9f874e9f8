// Both expanders take whatever bytes an archive holds. Neither detects
// damage (the container's checksum does), but neither may step outside its
// tables or run on: RLE ends with its span, LZH at Destsize plus at most the
// rest of one match.
#include <gtest/gtest.h>

#include <random>

#include "tests/codecs/rle_lzh_support.h"

namespace {

using namespace rle_lzh_test;
using testing_support::RandomBytes;

constexpr size_t LongestMatchTail = 59;  // a match of 60 that begins one byte before Destsize

void ExpectLzhEndsAtDestsize(const Bytes& stored, int32_t destSize) {
    const CodecRun run = Expand(ctLzh, stored, destSize);
    const size_t want = destSize > 0 ? static_cast<size_t>(destSize) : 0;
    ASSERT_GE(run.out.size(), want);
    ASSERT_LE(run.out.size(), want + (want ? LongestMatchTail : 0));
    ASSERT_EQ(run.checksum, ByteSum(run.out));
}

void ExpectRleBounded(const Bytes& stored) {
    const CodecRun run = Expand(ctRle, stored, 0);
    // Worst token: two stored bytes for 254 copies.
    ASSERT_LE(run.out.size(), 127 * stored.size() + 1);
    ASSERT_EQ(run.checksum, ByteSum(run.out));
}

TEST(RleLzhHostile, RandomStreamsEndWithinTheirBounds) {
    std::mt19937 rng(1998);
    for (int iteration = 0; iteration < 1500; ++iteration) {
        SCOPED_TRACE(iteration);
        const Bytes stored = RandomBytes(rng() % 700, static_cast<uint32_t>(rng()));
        ExpectLzhEndsAtDestsize(stored, static_cast<int32_t>(rng() % 4000));
        ExpectRleBounded(stored);
    }
}

TEST(RleLzhHostile, MutatedStreamsEndWithinTheirBounds) {
    const Bytes plain = MixedData(8000, 9);
    const Bytes lzh = Compress(ctLzh, plain, Unbudgeted()).out;
    const Bytes rle = Compress(ctRle, plain, Unbudgeted()).out;
    std::mt19937 rng(2026);
    for (int iteration = 0; iteration < 500; ++iteration) {
        SCOPED_TRACE(iteration);
        for (const Bytes* original : {&lzh, &rle}) {
            Bytes stored = *original;
            switch (iteration % 3) {
                case 0:  // flipped bits
                    for (int k = 0; k < 1 + iteration % 8; ++k) stored[rng() % stored.size()] ^= 1u << (rng() % 8);
                    break;
                case 1:  // cut short: the LZH expander reads the rest as zero bits
                    stored.resize(rng() % stored.size());
                    break;
                default: {  // a slice removed, shifting every later bit
                    const size_t at = rng() % stored.size();
                    stored.erase(stored.begin() + at, stored.begin() + at + rng() % (stored.size() - at));
                    break;
                }
            }
            if (original == &lzh)
                ExpectLzhEndsAtDestsize(stored, static_cast<int32_t>(plain.size()));
            else
                ExpectRleBounded(stored);
        }
    }
}

TEST(RleLzhHostile, LzhDestsizeDecidesAloneWhereOutputEnds) {
    // Nothing stored, a large Destsize: zero bits decode to symbols until it is reached.
    ExpectLzhEndsAtDestsize({}, 300000);
    ExpectLzhEndsAtDestsize(Bytes(40, 0xFF), 300000);
    // A negative size from a damaged header expands nothing.
    EXPECT_TRUE(Expand(ctLzh, RandomBytes(100, 4), -5).out.empty());
}

}  // namespace
