// Both expanders take whatever bytes an archive holds. Neither may step
// outside its tables or run on: RLE ends with its span; LZH ends at Destsize
// plus at most the rest of one match, or fails as soon as it needs bits past
// its span. Other damage is left to the container's checksum.
#include <gtest/gtest.h>

#include <random>

#include "tests/codecs/rle_lzh_support.h"

namespace {

using namespace rle_lzh_test;
using testing_support::RandomBytes;

constexpr size_t LongestMatchTail = 59;  // a match of 60 that begins one byte before Destsize

// False when the stream ran out before Destsize.
bool ExpectLzhEndsAtDestsize(const Bytes& stored, int32_t destSize) {
    CodecRun run;
    try {
        run = Expand(ctLzh, stored, destSize);
    } catch (const EUnexpectedEndOfData&) {
        return false;
    }
    const size_t want = destSize > 0 ? static_cast<size_t>(destSize) : 0;
    EXPECT_GE(run.out.size(), want);
    EXPECT_LE(run.out.size(), want + (want ? LongestMatchTail : 0));
    EXPECT_EQ(run.checksum, ByteSum(run.out));
    return true;
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
                case 1:  // cut short: the LZH expander needs the missing bits
                    stored.resize(rng() % stored.size());
                    if (original == &lzh) {
                        EXPECT_FALSE(ExpectLzhEndsAtDestsize(stored, static_cast<int32_t>(plain.size())));
                        continue;
                    }
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

TEST(RleLzhHostile, LzhMakesNoOutputFromNothing) {
    // Nothing or little stored, a large Destsize: the stream runs out.
    EXPECT_FALSE(ExpectLzhEndsAtDestsize({}, 300000));
    EXPECT_FALSE(ExpectLzhEndsAtDestsize(Bytes(40, 0xFF), 300000));
    // A negative size from a damaged header expands nothing.
    EXPECT_TRUE(Expand(ctLzh, RandomBytes(100, 4), -5).out.empty());
}

}  // namespace
