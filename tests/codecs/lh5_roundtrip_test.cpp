// Encoder -> decoder round trips over window slides, full item buffers, long
// codes and many kinds of data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <numeric>

#include "codecs/lh5/Lh5.h"
#include "tests/codecs/lh5_encode_support.h"
#include "tests/support/TestSupport.h"

using namespace quern;

using namespace lh5_test;

namespace {

Bytes Decode(const Bytes& coded, size_t expectedSize, uint32_t& checksum) {
    TMemoryStream source(coded);
    TMemoryStream dest;
    RunCodec(dest, source, static_cast<int32_t>(coded.size()), static_cast<int32_t>(expectedSize), ctLh5, checksum,
             /*Expanding*/ true, false, CodecSettings{});
    return dest.Bytes();
}

void ExpectRoundTrip(const Bytes& input, const std::string& name) {
    const Bytes coded = Encode(input);
    uint32_t checksum = 0;
    const Bytes decoded = Decode(coded, input.size(), checksum);
    EXPECT_EQ(decoded.size(), input.size()) << name;
    EXPECT_TRUE(decoded == input) << name;
    EXPECT_EQ(checksum, std::accumulate(input.begin(), input.end(), 0u)) << name;
}

// No three-byte string occurs twice, so every item is a literal and a block
// holds exactly 14544 items: 1818 groups of a flag byte and eight literals
// reach the 16360-byte mark of the item buffer.
Bytes NoRepeatedTriples(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<bool> seen(1u << 24);
    Bytes out;
    out.reserve(count);
    while (out.size() < count) {
        uint8_t b = static_cast<uint8_t>(random());
        if (out.size() >= 2) {
            const uint32_t head = (uint32_t{out[out.size() - 2]} << 16) | (uint32_t{out[out.size() - 1]} << 8);
            while (seen[head | b]) ++b;  // at most 16M triples: a free one exists here
            seen[head | b] = true;
        }
        out.push_back(b);
    }
    return out;
}

constexpr size_t FullBlockItems = 14544;

}  // namespace

TEST(Lh5RoundTrip, TableOfInputs) {
    struct Case {
        std::string name;
        Bytes input;
    };
    const std::vector<Case> cases = {
        {"a", Text("a")},
        {"abc", Text("abc")},
        {"ten a", Bytes(10, 'a')},
        {"300 zeros", Bytes(300, 0)},
        {"abcZbcdefYabcdef", Text("abcZbcdefYabcdef")},
        {"one byte short of the first slide", EnglishLikeText(7935, 31)},
        {"at the first slide", EnglishLikeText(7936, 32)},
        {"one past the first slide", EnglishLikeText(7937, 33)},
        {"one short of the second slide", Runs(16127, 34)},
        {"at the second slide", Runs(16128, 35)},
        {"one past the second slide", BinaryRecords(16129, 36)},
        {"text over a dozen slides", EnglishLikeText(100000, 37)},
        {"long runs", Runs(120000, 38)},
        {"binary records", BinaryRecords(90000, 39)},
        {"random, every block literals", testing_support::RandomBytes(70000, 40)},
        // Few common and many rare symbols: main codes of 13 to 16 bits, which
        // the decoder resolves through its overflow trees.
        {"skewed bytes, long codes", SkewedBytes(200000, 41, 0.35)},
        {"mixed data with far repeats", MixedData(400000, 42)},
        {"one byte value, long matches only", Bytes(70000, 0x5A)},
    };
    for (const Case& c : cases) ExpectRoundTrip(c.input, c.name);
}

TEST(Lh5RoundTrip, BlocksThatFillTheItemBuffer) {
    const size_t sizes[] = {
        FullBlockItems,          // one block, exactly full
        FullBlockItems + 1,      // a second block of a single item (one main symbol)
        2 * FullBlockItems + 9,  // two full blocks and a short one
    };
    for (size_t size : sizes) {
        const Bytes input = NoRepeatedTriples(size, 51);
        ItemRecorder recorder;
        Encode(input, &recorder);
        ASSERT_EQ(recorder.items.size(), size) << "the fixture must give only literals";
        ExpectRoundTrip(input, "literals only, " + std::to_string(size));
    }
}

// Fed straight to the block writer, literals with Fibonacci frequencies
// build a Huffman tree 18 levels deep; the lengths must be cut to 16 bits
// and still form a complete code.
TEST(Lh5RoundTrip, BlockWriterLimitsCodesTo16Bits) {
    Bytes literals;
    unsigned a = 1, b = 1;
    for (int symbol = 0; symbol < 19; ++symbol) {
        literals.insert(literals.end(), a, static_cast<uint8_t>('A' + symbol));
        const unsigned next = a + b;
        a = b;
        b = next;
    }
    // 10945 items: one block. Shuffled so that the order does not matter.
    std::mt19937 random(61);
    std::shuffle(literals.begin(), literals.end(), random);

    TMemoryStream empty;
    TMemoryStream dest;
    CodecSettings settings;
    settings.CompressReserve = -0x40000000;
    auto io = std::make_unique<CodecIO>(dest, empty, 0, false, false, settings);
    auto writer = std::make_unique<Lh5BlockWriter>(*io);
    for (uint8_t literal : literals) writer->EmitItem(literal, 0);
    writer->SendBlock();
    writer->FinalFlush();
    io->FlushRest();

    uint32_t checksum = 0;
    EXPECT_TRUE(Decode(dest.Bytes(), literals.size(), checksum) == literals);
}

// Tens of MB natively; the size in MB can be set with QUERN_LH5_LARGE_MB.
// Under the sanitizers the default is 2 MB to keep the test binary quick.
TEST(Lh5RoundTrip, LargeMixedInput) {
#if defined(__SANITIZE_ADDRESS__)
    size_t megabytes = 2;
#else
    size_t megabytes = 24;
#endif
    if (const char* env = std::getenv("QUERN_LH5_LARGE_MB")) megabytes = std::strtoul(env, nullptr, 10);
    ExpectRoundTrip(MixedData(megabytes << 20, 71), std::to_string(megabytes) + " MB of mixed data");
}
