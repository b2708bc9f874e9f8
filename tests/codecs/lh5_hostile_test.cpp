// Damaged and random streams into the -lh5- expander: each run must end
// normally, with ELZHBadDecodeTable or with EUnexpectedEndOfData. Built with the sanitizers, any read or
// write outside the decoder's tables ends the run.
#include <gtest/gtest.h>

#include "codecs/lh5/Lh5.h"
#include "tests/codecs/lh5_decode_support.h"
#include "tests/support/TestSupport.h"

using namespace quern;

namespace {

using namespace lh5_test;
using testing_support::FromHex;

// Returns false when the decoder refused the stream; any other exception fails the test.
bool Survives(const Bytes& stream, int32_t expectedSize) {
    try {
        const Bytes out = Lh5Expand(stream, expectedSize);
        // At most one match of 256 bytes runs past the expected size.
        EXPECT_GE(out.size(), static_cast<size_t>(expectedSize));
        EXPECT_LE(out.size(), static_cast<size_t>(expectedSize) + 255);
        return true;
    } catch (const ELZHBadDecodeTable&) {
        return false;
    } catch (const EUnexpectedEndOfData&) {
        return false;
    }
}

struct Seed {
    Bytes stream;
    int32_t expectedSize;
};

// A block with real Huffman codes on all three alphabets (codes of 1..16
// bits, so damage reaches the overflow trees too).
Bytes StructuredStream() {
    BlockPlan b;
    b.lengthCode.assign(19, 0);
    b.lengthCode[0] = 1;
    for (int s = 3; s <= 18; ++s) b.lengthCode[s] = std::min(s - 1, 16);
    b.main.assign(510, 0);
    const int symbols[] = {'e', 260, 't', 'a', 300, 'o', 509, 'n', 256, 'x', 'q', 400, 'z', 'j', 'k', 257, 'w'};
    for (int i = 0; i < 17; ++i) b.main[symbols[i]] = std::min(i + 1, 16);
    b.position.assign(14, 0);
    for (int s = 0; s < 14; ++s) b.position[s] = std::min(s + 1, 13);
    for (int i = 0; i < 60; ++i) {
        const int sym = symbols[(i * 7) % 17];
        b.symbols.push_back(sym);
        if (sym >= 256) b.distances.push_back((i * 131) % 8192);
    }
    BitWriter w;
    PutBlock(w, b);
    return w.Finish();
}

// Every value at every position of the four short streams; for the longer
// structured stream every single-bit flip and a spread of other values. A
// second, larger size makes damaged streams run on into further block heads.
TEST(Lh5Hostile, SingleByteChangesOfKnownStreams) {
    const Seed seeds[] = {
        {FromHex("00 03 28 08 44 C9 13 58 02 60"), 3},
        {FromHex("00 01 00 00 06 10 00"), 1},
        {FromHex("00 02 20 04 30 71 36 48 40 10"), 10},
        {FromHex("00 03 28 04 4B FD A2 71 81 80 58"), 300},
        {StructuredStream(), 3000},
    };
    int refused = 0, decoded = 0;
    for (size_t k = 0; k < std::size(seeds); ++k) {
        const Seed& seed = seeds[k];
        const bool everyValue = k < 4;
        for (int32_t size : {seed.expectedSize, int32_t{20000}}) {
            const bool large = size != seed.expectedSize;
            for (size_t pos = 0; pos < seed.stream.size(); ++pos) {
                const uint8_t original = seed.stream[pos];
                for (int value = 0; value < 256; ++value) {
                    const int flip = value ^ original;
                    const bool oneBit = (flip & (flip - 1)) == 0;
                    const bool spread = value % 29 == static_cast<int>(pos % 29);
                    if (large ? !spread : !(everyValue || oneBit || spread)) continue;
                    if (value == original) continue;
                    Bytes s = seed.stream;
                    s[pos] = static_cast<uint8_t>(value);
                    SCOPED_TRACE(testing::Message() << "seed " << k << " position " << pos << " value " << value);
                    (Survives(s, size) ? decoded : refused) += 1;
                }
            }
        }
    }
    // Both outcomes occur: the changes really reach the table checks.
    EXPECT_GT(refused, 0);
    EXPECT_GT(decoded, 0);
}

TEST(Lh5Hostile, RandomByteStrings) {
    uint32_t state = 0x9E3779B9u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (int run = 0; run < 4000; ++run) {
        const size_t length = next() % 2001;
        const Bytes stream = testing_support::RandomBytes(length, next());
        // Mostly small sizes, now and then up to 100000.
        const int32_t size = static_cast<int32_t>(run % 10 == 0 ? next() % 100001 : next() % 3000);
        SCOPED_TRACE(testing::Message() << "run " << run);
        Survives(stream, size);
    }
}

// Random bytes after a valid single-symbol block head: the following blocks
// start from hostile bits while the window and bit reader carry on.
TEST(Lh5Hostile, RandomBlocksAfterAGoodOne) {
    const Bytes good = FromHex("00 01 00 00 06 10 00");
    for (uint32_t run = 0; run < 2000; ++run) {
        Bytes stream = good;
        const Bytes tail = testing_support::RandomBytes(1 + run % 300, run * 2654435761u);
        stream.insert(stream.end(), tail.begin(), tail.end());
        Survives(stream, 2 + static_cast<int32_t>(run % 5000));
    }
}

}  // namespace
