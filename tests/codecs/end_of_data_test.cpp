// The LZH and LH5 expanders make no output from bits a stream does not have:
// a stream that needs more than the decoder's look-ahead past the end of its
// stored span fails with EUnexpectedEndOfData, while every complete stream,
// whatever its length and wherever its last bit falls, still decodes.
#include <gtest/gtest.h>

#include <string>

#include <quern/CodecEngine.h>
#include "tests/support/TestSupport.h"

using namespace quern;

namespace {

using testing_support::Bytes;

// Counts what is written without keeping it.
class SizeOnlyStream : public TMemoryStream {
public:
    int32_t Write(const void*, int32_t count) override {
        written += count;
        return count;
    }
    int64_t written = 0;
};

CodecSettings Unbudgeted() {
    CodecSettings s;
    s.CompressReserve = -0x40000000;
    return s;
}

Bytes Encode(uint8_t method, const Bytes& plain) {
    TMemoryStream source(plain), dest;
    uint32_t sum = 0;
    RunCodec(dest, source, static_cast<int32_t>(plain.size()), 0, method, sum, false, false, Unbudgeted());
    return dest.Bytes();
}

Bytes Decode(uint8_t method, const Bytes& stored, int32_t size) {
    TMemoryStream source(stored), dest;
    uint32_t sum = 0;
    RunCodec(dest, source, static_cast<int32_t>(stored.size()), size, method, sum, true, false, CodecSettings{});
    return dest.Bytes();
}

// Prose, records, noise and runs in turns, so that prefixes end in every
// kind of item and at every bit position.
Bytes Sample(size_t size) {
    Bytes out;
    const std::string prose = "Setup copies the payload, then the wizard installs what it holds.\r\n";
    for (uint32_t round = 0; out.size() < size; ++round) {
        switch (round % 4) {
            case 0: out.insert(out.end(), prose.begin() + round % 20, prose.end()); break;
            case 1:
                for (uint32_t i = 0; i < 30; ++i) out.push_back(static_cast<uint8_t>((i + round) * 2654435761u >> 24));
                break;
            case 2: out.insert(out.end(), 5 + round % 70, static_cast<uint8_t>(round)); break;
            default: {
                const Bytes noise = testing_support::RandomBytes(40, round);
                out.insert(out.end(), noise.begin(), noise.end());
            }
        }
    }
    out.resize(size);
    return out;
}

constexpr int32_t TwoGigabytes = 2147483632;

// A few stored bytes declaring 2 GB: LZH and LH5 fail after little output;
// RLE never looks at the declared size and stops with its span.
TEST(EndOfData, SmallStreamsDeclaringTwoGigabytes) {
    const Bytes prose = Encode(ctLh5, Sample(5000));
    const Bytes lzh = Encode(ctLzh, Sample(5000));
    const struct {
        const char* what;
        uint8_t method;
        Bytes stored;
    } cases[] = {
        {"LH5, zero bytes", ctLh5, Bytes(8, 0x00)},
        {"LH5, head of a real stream", ctLh5, Bytes(prose.begin(), prose.begin() + 8)},
        {"LZH, zero bytes", ctLzh, Bytes(8, 0x00)},
        {"LZH, 0xFF bytes", ctLzh, Bytes(8, 0xFF)},
        {"LZH, head of a real stream", ctLzh, Bytes(lzh.begin(), lzh.begin() + 8)},
        {"LH5, nothing", ctLh5, {}},
        {"LZH, nothing", ctLzh, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TMemoryStream source(c.stored);
        SizeOnlyStream dest;
        uint32_t sum = 0;
        try {
            RunCodec(dest, source, static_cast<int32_t>(c.stored.size()), TwoGigabytes, c.method, sum, true, false,
                     CodecSettings{});
            ADD_FAILURE() << "expanded without an error";
        } catch (const EUnexpectedEndOfData& e) {
            EXPECT_STREQ(e.what(), "Unexpected end of compressed data");
        }
        // One LH5 block of 65536 zero-bit matches is the most 8 bytes can pay for.
        EXPECT_LE(dest.written, 65536 * 256);
    }
    // The class is a kind of bad data for handlers that catch it as such.
    EXPECT_THROW(Decode(ctLh5, Bytes(8, 0), TwoGigabytes), EBadChecksum);

    TMemoryStream source(Bytes(8, 0x94));
    SizeOnlyStream dest;
    uint32_t sum = 0;
    RunCodec(dest, source, 8, TwoGigabytes, ctRle, sum, true, false, CodecSettings{});
    EXPECT_LE(dest.written, 4 * 255);
}

// Every length from 0 to 2600 and the lengths around the window sizes and a
// full LH5 item buffer: the whole stream decodes, and without its last byte
// (which always holds bits the decoder uses) it fails.
TEST(EndOfData, EveryCompleteStreamDecodesAndEveryCutOneFails) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 2600; ++n) lengths.push_back(n);
    for (size_t edge : {4096u, 8192u, 16384u, 16360u * 8 / 9, 65536u})
        for (size_t n = edge - 3; n <= edge + 3; ++n) lengths.push_back(n);
    const Bytes sample = Sample(lengths.back());
    for (const uint8_t method : {ctLzh, ctLh5}) {
        for (const size_t n : lengths) {
            SCOPED_TRACE(testing::Message() << (method == ctLh5 ? "LH5" : "LZH") << " length " << n);
            const Bytes plain(sample.begin(), sample.begin() + static_cast<ptrdiff_t>(n));
            const Bytes stored = Encode(method, plain);
            const auto size = static_cast<int32_t>(n);
            ASSERT_EQ(Decode(method, stored, size), plain);
            if (stored.empty()) continue;
            const Bytes cut(stored.begin(), stored.end() - 1);
            ASSERT_THROW(Decode(method, cut, size), EUnexpectedEndOfData);
        }
    }
}

}  // namespace
